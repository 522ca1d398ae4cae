#pragma once
// Drives the modal windows a host opens during an event: message boxes and
// the open-file dialog. Armed by script steps, serviced on every timer tick,
// which modal loops dispatch too.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct DialogAction {
    enum class Kind { Cancel, ChoosePath, ChooseInFolder };
    Kind kind = Kind::Cancel;
    // As written after "choose", for the log.
    std::wstring operand;
    std::wstring path;
    std::wstring names;
};

// Reads "cancel", "choose PATH" or "choose FOLDER \"a\" \"b\""; false when it is none of them.
bool parseDialogAction(const std::wstring& operand, DialogAction& action);

class ModalWatchers {
  public:
    // The next message box is closed once it has stood for `patience` ms.
    void armMessageBox(DWORD patience) { messageBoxes.push_back(patience); }
    void armDialog(const DialogAction& action) { dialogs.push_back({action, nullptr}); }
    void service();

  private:
    struct ArmedDialog {
        DialogAction action;
        // The dialog already navigated to the folder, still to get the names.
        HWND navigated;
    };
    // How long each armed message box is left standing, in arming order.
    std::vector<DWORD> messageBoxes;
    std::vector<ArmedDialog> dialogs;
    std::vector<HWND> handled;
    // When each message box still to be closed was first seen.
    std::vector<std::pair<HWND, DWORD>> boxesSeen;
};
