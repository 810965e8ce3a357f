// The bytes a correct Download puts on the line for a model, built from the
// profile repository, for tests that play the app's side to the simulator.
#pragma once

#include <string>
#include <string_view>

#include "profile/repository.h"

namespace valmor::test {

inline std::string downloadStream(std::string_view model) {
  Repository repository;
  const auto image = repository.profileImage(model);
  std::string stream = "2\n" + *repository.titleLine(model) + "\n";
  stream.append(image->begin(), image->end());
  return stream + "\n";
}

}  // namespace valmor::test
