#include "valmor/platform/posix_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace valmor::test {
namespace {

TEST(PosixErrorTest, DescriptionHoldsCodeTextAndPath) {
  PosixError e = PosixError::fromErrno(ENOENT, "/dev/cu.gone");
  EXPECT_EQ(e.value(), ENOENT);
  EXPECT_EQ(e.message(), "No such file or directory");
  EXPECT_EQ(e.description(), "/dev/cu.gone: No such file or directory (errno 2)");
  EXPECT_TRUE(isDeviceGone(EIO));
  EXPECT_TRUE(isDeviceGone(PosixError::fromErrno(ENXIO, "").code));
  EXPECT_FALSE(isDeviceGone(EAGAIN));
}

}  // namespace
}  // namespace valmor::test
