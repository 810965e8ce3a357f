// valmor-setup's command line. The program's own options are --help and
// --version; everything else is for Qt, which takes the options it knows
// out of argv when the QApplication is made. So the command line is checked
// twice: before Qt sees it, for a Qt option that takes a value but was
// given none (Qt would ignore it silently and go on without it), and after,
// for what neither knows. Each check gives the one line to print, or none.
//
//   if (auto problem = toolkitOptionWithoutValue(argc, argv)) -> print it, exit 1
//   QApplication application(argc, argv);
//   if (auto problem = unknownArguments(argc, argv)) -> print it, exit 2
#pragma once

#include <optional>
#include <string>

namespace valmor {

// A Qt option that takes a value (-platform, -style, -display, ...; with one
// dash or two) given as the last argument, so without its value.
std::optional<std::string> toolkitOptionWithoutValue(int argc, char** argv);

// The arguments left after Qt took its own: each is unknown. The line names
// the first and what is known.
std::optional<std::string> unknownArguments(int argc, char** argv);

}  // namespace valmor
