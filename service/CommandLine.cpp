#include "service/CommandLine.h"

namespace {

wchar_t FoldAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsSwitch(const wchar_t* argument, const wchar_t* name) {
  for (; *argument != L'\0' && *name != L'\0'; ++argument, ++name) {
    if (FoldAsciiLetter(*argument) != FoldAsciiLetter(*name)) return false;
  }
  return *argument == L'\0' && *name == L'\0';
}

}  // namespace

Road ChooseRoad(int argc, const wchar_t* const* argv) {
  if (argc < 2 || argv[1] == nullptr || argv[1][0] != L'/') return Road::Service;
  if (EqualsSwitch(argv[1], L"/RegServer")) return Road::RegServer;
  if (EqualsSwitch(argv[1], L"/UnregServer")) return Road::UnregServer;
  if (EqualsSwitch(argv[1], L"/debug")) return Road::Debug;
  return Road::Usage;
}
