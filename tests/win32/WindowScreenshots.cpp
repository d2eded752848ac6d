// Saves a picture of each tab of the Windows window (windows-tab-0.bmp ... windows-tab-3.bmp)
// into the folder given as the argument, for the documentation. Run it under Wine and Xvfb.
#include "framework/win32/Application.h"
#include "updater/Unit1.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

void Pump(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        ProcessMessages();
        Sleep(10);
    }
}

// The client area as a 24-bit bitmap file.
bool SaveClientArea(HWND window, const std::string& file) {
    RECT r;
    GetClientRect(window, &r);
    const int width = r.right, height = r.bottom, stride = (width * 3 + 3) & ~3;
    BITMAPINFOHEADER info{sizeof info, width, height, 1, 24, BI_RGB, DWORD(stride * height),
                          0,           0,     0,      0};
    void* bits = nullptr;
    HDC screen = GetDC(window);
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                      &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    BITMAPFILEHEADER head{0x4D42, DWORD(sizeof head + sizeof info + info.biSizeImage), 0, 0,
                          DWORD(sizeof head + sizeof info)};
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&head), sizeof head);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(static_cast<const char*>(bits), info.biSizeImage);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    ReleaseDC(window, screen);
    return bool(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: win32_window_screenshots FOLDER\n");
        return 2;
    }
    TApplication app(argc, argv);
    app.SetTitle("Atualizador Quorvel");
    TForm1 form;
    form.Show();
    for (int tab = 0; tab < 4; ++tab) {
        form.TabControl1->SetTabIndex(tab);
        form.TabControl1Change(&form);
        Pump(std::getenv("QUORVEL_SHOT_WAIT") ? 3000 : 500);
        std::string file = std::string(argv[1]) + "/windows-tab-" + std::to_string(tab) + ".bmp";
        if (!SaveClientArea(form.Handle(), file)) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 1;
        }
    }
    return 0;
}
