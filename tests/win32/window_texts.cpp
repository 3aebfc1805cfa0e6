// Prints, in UTF-8, the class and text of every top-level window whose title
// is the one given and of every control inside it, one per line: what a
// person reads on Kestova's window and on its warning. The Windows end-to-end
// test reads the button's caption and the warning with it, under Wine.
//
//   window_texts.exe TITLE
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

void print(HWND window, const char* indent) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  std::printf("%s%s: %s\n", indent, utf8(name).c_str(), utf8(text).c_str());
}

BOOL CALLBACK printChild(HWND child, LPARAM) {
  print(child, "  ");
  return TRUE;
}

BOOL CALLBACK printIfTitled(HWND window, LPARAM title) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  if (std::wstring(text) != reinterpret_cast<const wchar_t*>(title)) return TRUE;
  print(window, "");
  EnumChildWindows(window, printChild, 0);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_texts TITLE\n");
    return 2;
  }
  EnumWindows(printIfTitled, reinterpret_cast<LPARAM>(argv[1]));
  return 0;
}
