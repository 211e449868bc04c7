#pragma once
// A test fixture with a fresh temporary directory of its own, removed afterwards, so that no test
// writes into the build tree or the current directory.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <iterator>
#include <string>

namespace varnox::testing {

class TempDirTest : public ::testing::Test {
 protected:
  TempDirTest() : dir_(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("cardamor-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(dir_);
  }
  ~TempDirTest() override {
    boost::system::error_code ec;
    boost::filesystem::remove_all(dir_, ec);
  }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  boost::filesystem::path dir_;
};

}  // namespace varnox::testing
