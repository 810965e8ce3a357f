// UIConfig: what the window's four option selectors show. Only the first is
// used: it chooses the strobe model that Download sends, and lists the
// twelve model names exactly as the profile repository knows them. The
// other three have no options and are hidden.
//
// A selector whose option list is empty is hidden with its caption, except
// the first, which is always shown. Captions are shown followed by ":".
#pragma once

#include <string>
#include <vector>

namespace valmor {

struct UIConfig {
  std::string labelA = "Strobe model";
  std::string labelB;
  std::string labelC;
  std::string labelD;
  std::vector<std::string> optionsA = {
      "Ikelite Ds160", "Inon Z240/Z330", "S&S YS250",  "S&S YS D1",
      "S&S YS D2_optical", "SUBTRONIC 160", "S&S YS 110A", "SUBTRONIC 270",
      "ONEUW",         "RETRAPRO",       "S&S YSD3",   "RED64",
  };
  std::vector<std::string> optionsB;
  std::vector<std::string> optionsC;
  std::vector<std::string> optionsD;
};

}  // namespace valmor
