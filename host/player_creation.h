#pragma once
// The player control the game runs on: the copy the studio ships beside the
// program before a registered player, the shipped one without any
// registration.

#include "base/handles.h"

#include <string>

// Creates the control and keeps what a shipped player needs for the whole
// run: the activation context made from the manifest the program carries
// for the player file, active on this thread. Through it both the player's
// class and its type library are found in the file, and a player looks up
// its type library whenever it is asked for a name, long after its creation.
// So it must outlive the control, and it ends on the thread that made it.
class PlayerCreation {
  public:
    PlayerCreation() = default;
    PlayerCreation(const PlayerCreation&) = delete;
    PlayerCreation& operator=(const PlayerCreation&) = delete;

    // Creates flashControl from the file at `shippedPlayer` when it serves,
    // else from the registered player. False when neither gives a control
    // that knows every call the host makes by name.
    bool createControl(const std::wstring& shippedPlayer);

  private:
    // Released after the scope: declared first.
    UniqueActivationContext context_;
    ActivationScope activation_;
};
