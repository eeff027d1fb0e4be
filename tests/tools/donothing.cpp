// A GUI program that does nothing: the cost of starting a program under Wine, to time others against.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return 0;
}
