#include "varnox/AgentLoader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "varnox/Errors.h"

namespace varnox {
namespace {

TEST(AgentLoaderTest, MissingLibraryOrSymbolIsAnErrorNamingThePath) {
  AgentLoader loader;
  std::string error;
  // A folder this test makes sure is not there.
  const std::string dir = ::testing::TempDir() + "varnox_absent_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  const std::string missing = dir + "/libnothing.so";
  EXPECT_NE(0, loader.load(missing, error));
  EXPECT_FALSE(loader.loaded());
  EXPECT_NE(std::string::npos, error.find("\"" + missing + "\"")) << error;
  EXPECT_NE(std::string::npos, error.find("No such file")) << error;

  // A real library without the entry point.
  error.clear();
  EXPECT_NE(0, loader.load("libm.so.6", error));
  EXPECT_FALSE(loader.loaded());
  EXPECT_NE(std::string::npos, error.find("\"libm.so.6\" has no initAgent")) << error;
}

}  // namespace
}  // namespace varnox
