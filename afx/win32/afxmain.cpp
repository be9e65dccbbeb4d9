// The program's entry point: the application object's InitInstance is the program.
#include "afx/win32/winsys.h"

#include "afx/afxwin.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    CWinApp* app = AfxGetApp();
    if (app == nullptr)
        return 1;  // no application object was linked in
    if (!app->InitInstance())
        return 0;
    // An application that keeps running after InitInstance pumps messages until told to quit.
    MSG msg{};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
