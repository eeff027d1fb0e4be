#include "ExcelWindow.h"

ExcelWindow::ExcelWindow() {
  WNDCLASSW Class{};
  Class.lpfnWndProc = DefWindowProcW;
  Class.hInstance = GetModuleHandleW(nullptr);
  Class.lpszClassName = L"XLMAIN";
  RegisterClassW(&Class);
  Window = CreateWindowExW(0, L"XLMAIN", L"Microsoft Excel", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                           Class.hInstance, nullptr);
}

ExcelWindow::~ExcelWindow() {
  if (Window) DestroyWindow(Window);
}
