#pragma once
// Drives the modal windows a host opens during an event: message boxes and
// the open-file dialog. Armed by script steps, serviced on every timer tick,
// which modal loops dispatch too.

#include <windows.h>

#include <deque>
#include <functional>
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
    // A script step to run while the dialog is open, before the action.
    std::wstring during;
};

// The thread's open message box, or null.
HWND openMessageBox();

// Reads "cancel", "choose PATH" or "choose FOLDER \"a\" \"b\""; false when it is none of them.
bool parseDialogAction(const std::wstring& operand, DialogAction& action);

class ModalWatchers {
  public:
    // `during`: script steps to run while the box is open, before its OK,
    // one a tick, joined by " => ".
    // The OK comes once the box has stood for `patience` ms.
    void armMessageBox(const std::wstring& during, DWORD patience) {
        messageBoxes.push_back({during, patience});
    }
    void armDialog(const DialogAction& action) { dialogs.push_back({action, nullptr}); }
    // Acts on the thread's open boxes and dialogs; runs a `during` step
    // through `runStep`, then leaves the rest to a later tick.
    void service(const std::function<void(const std::wstring&)>& runStep);

  private:
    struct ArmedDialog {
        DialogAction action;
        // The dialog already navigated to the folder, still to get the names.
        HWND navigated;
    };
    struct ArmedBox {
        std::wstring during;
        DWORD patience;
    };
    std::deque<ArmedBox> messageBoxes;
    std::vector<ArmedDialog> dialogs;
    std::vector<HWND> handled;
    // When each message box still to be closed was first seen.
    std::vector<std::pair<HWND, DWORD>> boxesSeen;
};
