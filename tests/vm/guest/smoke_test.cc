// Runs in the guest after the smoke suite has loaded the module: the
// control directory and the binary digest file must be there.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// Describes what stat() found at path, for a readable failure message.
std::string Describe(const char* path, bool* is_dir, bool* is_reg) {
  struct stat st {};
  if (stat(path, &st) != 0) {
    *is_dir = *is_reg = false;
    return std::string(path) + ": " + std::strerror(errno);
  }
  *is_dir = S_ISDIR(st.st_mode);
  *is_reg = S_ISREG(st.st_mode);
  return std::string(path) + ": mode " + std::to_string(st.st_mode);
}

TEST(Smoke, SysctlDirectoryExists) {
  bool is_dir = false, is_reg = false;
  const std::string what = Describe("/proc/sys/kernel/zentrope", &is_dir, &is_reg);
  EXPECT_TRUE(is_dir) << what;
}

TEST(Smoke, BlockHashBinExists) {
  bool is_dir = false, is_reg = false;
  const std::string what = Describe("/proc/zentrope/block_hash_bin", &is_dir, &is_reg);
  EXPECT_TRUE(is_reg) << what;
}

}  // namespace
