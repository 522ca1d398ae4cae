#include "modal.h"

#include "log.h"

#include <commctrl.h>
#include <dlgs.h>

#include <algorithm>

namespace {

constexpr int messageTextId = 0xFFFF;

std::wstring windowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    return text;
}

// Empty for no window.
std::wstring className(HWND window) {
    wchar_t name[64] = {};
    if (window) {
        GetClassNameW(window, name, ARRAYSIZE(name));
    }
    return name;
}

bool hasClass(HWND window, const wchar_t* name) {
    return lstrcmpiW(className(window).c_str(), name) == 0;
}

HWND fileNameBox(HWND dialog) {
    HWND box = GetDlgItem(dialog, cmb13);
    return box && hasClass(box, L"ComboBoxEx32") ? box : nullptr;
}

bool isFileDialog(HWND dialog) {
    return fileNameBox(dialog) != nullptr;
}

bool isMessageBox(HWND dialog) {
    HWND text = GetDlgItem(dialog, messageTextId);
    return text && hasClass(text, L"Static") && !isFileDialog(dialog);
}

BOOL CALLBACK collectDialog(HWND window, LPARAM param) {
    try {
        if (hasClass(window, L"#32770") && IsWindowVisible(window)) {
            reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
        }
    } catch (...) {
    }
    return TRUE;
}

std::vector<HWND> threadDialogs() {
    std::vector<HWND> found;
    EnumThreadWindows(GetCurrentThreadId(), collectDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring fileTypes(HWND dialog) {
    HWND combo = GetDlgItem(dialog, cmb1);
    std::wstring types;
    LRESULT count = combo ? SendMessageW(combo, CB_GETCOUNT, 0, 0) : 0;
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length == CB_ERR) {
            continue;
        }
        std::wstring entry(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry.data()));
        entry.resize(static_cast<size_t>(length));
        types += (i ? L"|" : L"") + entry;
    }
    return types;
}

// The names the dialog's file list shows, in its order.
std::wstring listedNames(HWND dialog) {
    HWND view = FindWindowExW(dialog, nullptr, L"SHELLDLL_DefView", nullptr);
    HWND list = view ? FindWindowExW(view, nullptr, WC_LISTVIEWW, nullptr) : nullptr;
    std::wstring names;
    const LRESULT count = list ? SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) : 0;
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t name[MAX_PATH] = {};
        LVITEMW item = {};
        item.iSubItem = 0;
        item.pszText = name;
        item.cchTextMax = ARRAYSIZE(name);
        SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        names += (i ? L"|" : L"") + std::wstring(name);
    }
    return names;
}

// A posted click: a sent one deadlocks when the click opens a nested box.
void pressButton(HWND dialog, int id) {
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void enterName(HWND dialog, const std::wstring& text) {
    SendMessageW(fileNameBox(dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

} // namespace

HWND openMessageBox() {
    for (HWND dialog : threadDialogs()) {
        if (isMessageBox(dialog)) {
            return dialog;
        }
    }
    return nullptr;
}

bool parseDialogAction(const std::wstring& operand, DialogAction& action) {
    if (operand == L"cancel") {
        action = DialogAction{};
        return true;
    }
    const std::wstring choose = L"choose ";
    if (operand.compare(0, choose.size(), choose) != 0 || operand.size() == choose.size()) {
        return false;
    }
    action.operand = operand.substr(choose.size());
    size_t quote = action.operand.find(L" \"");
    if (quote == std::wstring::npos) {
        action.kind = DialogAction::Kind::ChoosePath;
        action.path = action.operand;
    } else {
        action.kind = DialogAction::Kind::ChooseInFolder;
        action.path = action.operand.substr(0, quote);
        action.names = action.operand.substr(quote + 1);
    }
    return true;
}

void ModalWatchers::service(const std::function<void(const std::wstring&)>& runStep) {
    handled.erase(
        std::remove_if(handled.begin(), handled.end(), [](HWND window) { return !IsWindow(window); }),
        handled.end());
    boxesSeen.erase(std::remove_if(boxesSeen.begin(), boxesSeen.end(),
                                   [](const std::pair<HWND, DWORD>& seen) { return !IsWindow(seen.first); }),
                    boxesSeen.end());
    for (HWND dialog : threadDialogs()) {
        if (std::find(handled.begin(), handled.end(), dialog) != handled.end()) {
            continue;
        }
        if (!messageBoxes.empty() && isMessageBox(dialog)) {
            if (!messageBoxes.front().during.empty()) {
                // One step a tick; the step may open boxes of its own and
                // service them, nested.
                std::wstring& during = messageBoxes.front().during;
                const size_t arrow = during.find(L" => ");
                const std::wstring step = during.substr(0, arrow);
                during = arrow == std::wstring::npos ? std::wstring() : during.substr(arrow + 4);
                runStep(step);
                return;
            }
            auto seen =
                std::find_if(boxesSeen.begin(), boxesSeen.end(),
                             [dialog](const std::pair<HWND, DWORD>& box) { return box.first == dialog; });
            if (seen == boxesSeen.end()) {
                seen = boxesSeen.insert(boxesSeen.end(), {dialog, GetTickCount()});
            }
            if (GetTickCount() - seen->second < messageBoxes.front().patience) {
                continue;
            }
            boxesSeen.erase(seen);
            messageBoxes.pop_front();
            handled.push_back(dialog);
            logLine(L"messagebox caption=\"" + windowText(dialog) + L"\" text=\"" +
                    windowText(GetDlgItem(dialog, messageTextId)) + L"\"");
            pressButton(dialog, IDOK);
            continue;
        }
        if (!isFileDialog(dialog)) {
            continue;
        }
        auto armed = std::find_if(dialogs.begin(), dialogs.end(),
                                  [dialog](const ArmedDialog& d) { return d.navigated == dialog; });
        if (armed != dialogs.end()) {
            logLine(L"dialog lists " + listedNames(dialog));
            enterName(dialog, armed->action.names);
            pressButton(dialog, IDOK);
            handled.push_back(dialog);
            dialogs.erase(armed);
            continue;
        }
        armed =
            std::find_if(dialogs.begin(), dialogs.end(), [](const ArmedDialog& d) { return !d.navigated; });
        if (armed == dialogs.end()) {
            continue;
        }
        if (!armed->action.during.empty()) {
            const std::wstring step = armed->action.during;
            armed->action.during.clear();
            runStep(step);
            return;
        }
        logLine(L"dialog caption=\"" + windowText(dialog) + L"\" types=\"" + fileTypes(dialog) +
                L"\" owner=\"" + className(GetWindow(dialog, GW_OWNER)) + L"\"");
        switch (armed->action.kind) {
        case DialogAction::Kind::Cancel:
            logLine(L"dialog cancelled");
            pressButton(dialog, IDCANCEL);
            break;
        case DialogAction::Kind::ChoosePath:
            logLine(L"dialog chose " + armed->action.operand);
            enterName(dialog, armed->action.path);
            pressButton(dialog, IDOK);
            break;
        case DialogAction::Kind::ChooseInFolder:
            logLine(L"dialog chose " + armed->action.operand);
            enterName(dialog, armed->action.path);
            pressButton(dialog, IDOK);
            // The names go in on a later tick, once Open has navigated there.
            armed->navigated = dialog;
            continue;
        }
        handled.push_back(dialog);
        dialogs.erase(armed);
    }
}
