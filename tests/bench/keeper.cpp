// Holds the test bench's virtual desktop and Wine's service processes up for
// the whole test run, so that each test program starts fast. It owns one
// hidden window and waits until the wineserver is stopped.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    CreateWindowExW(0, L"STATIC", L"test bench keeper", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}
