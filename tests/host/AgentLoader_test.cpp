#include "varnox/AgentLoader.h"

#include <gtest/gtest.h>

#include "varnox/Errors.h"

namespace varnox {
namespace {

TEST(AgentLoaderTest, MissingLibraryOrSymbolIsAnErrorNamingThePath) {
  AgentLoader loader;
  std::string error;
  EXPECT_NE(0, loader.load("/nonexistent/libnothing.so", error));
  EXPECT_FALSE(loader.loaded());
  EXPECT_NE(std::string::npos, error.find("\"/nonexistent/libnothing.so\"")) << error;
  EXPECT_NE(std::string::npos, error.find("No such file")) << error;

  // A real library without the entry point.
  error.clear();
  EXPECT_NE(0, loader.load("libm.so.6", error));
  EXPECT_FALSE(loader.loaded());
  EXPECT_NE(std::string::npos, error.find("\"libm.so.6\" has no initAgent")) << error;
}

}  // namespace
}  // namespace varnox
