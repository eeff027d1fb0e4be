#pragma once
#include <windows.h>

// A window of Excel's main class, standing for an Excel the user has open: the uninstall
// program looks only for its existence. It lives as long as the holder, on the holder's thread.
class ExcelWindow {
 public:
  ExcelWindow();
  ExcelWindow(const ExcelWindow&) = delete;
  ExcelWindow& operator=(const ExcelWindow&) = delete;
  ~ExcelWindow();
  HWND Window;
};
