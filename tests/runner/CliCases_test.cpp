// The varnox command line end to end, in this process: each case of tests/runner/cases/*.cli runs
// test files through the real host, the Cardamor agent and the simulated drive, and checks what
// the user sees and what is left on disk. The blocks are described at the top of bad-input.cli.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>

#include "runner/CaseFile.h"
#include "support/RunVarnox.h"
#include "support/TempDir.h"

namespace varnox::testing {
namespace {

namespace fs = std::filesystem;
using CliCases = TempDirTest;

// A refusal: nothing on the standard output and one line "varnox: ..." that names `named`; a
// second line only as the hint of a command-line error.
void expectRefused(const CliResult& r, const std::string& named) {
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("varnox: ")) << r.err;
  const size_t end = r.err.find('\n');
  EXPECT_NE(r.err.substr(0, end).find(named), std::string::npos) << r.err << "should name " << named;
  const std::string rest = end == std::string::npos ? "" : r.err.substr(end + 1);
  EXPECT_TRUE(rest.empty() || (rest.starts_with("Run 'varnox --help'") && rest.find('\n') == rest.size() - 1))
      << r.err;
}

// The value of a top-level field of a JSON summary, as its text.
std::string jsonField(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return json.substr(at, (json[at] == '{' ? json.find('}', at) + 1 : json.find_first_of(",\n", at)) - at);
}

// Times in the past, so that even a read shows.
struct stat stamp(const std::string& path) {
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), past, 0), 0) << path;
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

// "file", "directory", "fifo", "socket", "character device", "missing".
std::string kindOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "missing";
  return S_ISREG(st.st_mode)    ? "file"
         : S_ISDIR(st.st_mode)  ? "directory"
         : S_ISFIFO(st.st_mode) ? "fifo"
         : S_ISSOCK(st.st_mode) ? "socket"
         : S_ISCHR(st.st_mode)  ? "character device"
                                : "other";
}

// A listening socket file at `path`; the descriptor stays open for the test's life.
void bindSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path) << path;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
}

void runCase(const Case& c, const fs::path& dir, const std::string& command) {
  const std::vector<std::pair<std::string, std::string>> vars = {
      {"{dir}", dir.string()}, {"{source}", VARNOX_SOURCE_DIR}, {"{version}", VARNOX_TEST_VERSION}};
  fs::create_directories(dir);
  CliResult r{-1, "", ""};
  std::map<std::string, struct stat> untouched;
  for (const CaseBlock& b : c.blocks) {
    const std::string arg = expand(b.arg, vars), body = expand(b.body, vars);
    if (b.key == "write") {
      std::ofstream(dir / arg, std::ios::binary) << body;
    } else if (b.key == "mkdir") {
      fs::create_directories(dir / arg);
    } else if (b.key == "mkfifo") {
      EXPECT_EQ(::mkfifo((dir / arg).c_str(), 0644), 0) << arg;
    } else if (b.key == "symlink" || b.key == "hardlink") {
      // A device node is named through a link in the case's folder: should the runner ever write
      // over its output, it replaces the link, never the machine's /dev/null.
      const std::vector<std::string> names = splitArgs(arg);
      std::error_code ec;
      if (b.key == "symlink") fs::create_symlink(names.at(1), dir / names.at(0), ec);
      else fs::create_hard_link(dir / names.at(1), dir / names.at(0), ec);
      EXPECT_FALSE(ec) << arg << ": " << ec.message();
    } else if (b.key == "mksocket") {
      bindSocket((dir / arg).string());
    } else if (b.key == "kind") {
      EXPECT_EQ(kindOf(arg), bodyLines(body).at(0)) << arg;
    } else if (b.key == "untouched") {
      untouched[arg] = stamp(arg);
    } else if (b.key == "run") {
      std::vector<std::string> args = splitArgs(arg);
      if (!args.empty() && args[0].find('|') != std::string::npos) args[0] = command;
      r = runCli(args);
    } else if (b.key == "status") {
      EXPECT_EQ(r.status, std::stoi(arg)) << r.err << r.out;
    } else if (b.key == "refused") {
      expectRefused(r, body.substr(0, body.size() - 1));
    } else if (b.key == "has" || b.key == "lacks" || b.key == "matches") {
      const std::string text = arg == "out" ? r.out : arg == "err" ? r.err : readAll(arg);
      for (const std::string& line : bodyLines(body)) {
        const bool found = b.key == "matches" ? std::regex_search(text, std::regex(line))
                                              : text.find(expand(line, {{"\\n", "\n"}})) != std::string::npos;
        EXPECT_EQ(found, b.key != "lacks") << b.key << " " << line << "\nin " << arg << ":\n" << text;
      }
    } else if (b.key == "same") {
      const std::vector<std::string> files = splitArgs(arg);
      for (const std::string& field : bodyLines(body)) {
        EXPECT_NE(jsonField(readAll(files.at(0)), field), "") << field;
        EXPECT_EQ(jsonField(readAll(files.at(0)), field), jsonField(readAll(files.at(1)), field)) << field;
      }
    } else if (b.key == "absent") {
      EXPECT_FALSE(fs::exists(arg)) << arg;
    } else if (b.key == "listing") {
      std::vector<std::string> names;
      for (const fs::directory_entry& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, bodyLines(body));
    } else {
      ADD_FAILURE() << "unknown block " << b.key;
    }
  }
  for (const auto& [path, before] : untouched) {
    struct stat after {};
    ::stat(path.c_str(), &after);
    for (auto [was, is] : {std::pair{before.st_atim, after.st_atim}, std::pair{before.st_mtim, after.st_mtim},
                           std::pair{before.st_ctim, after.st_ctim}})
      EXPECT_TRUE(was.tv_sec == is.tv_sec && was.tv_nsec == is.tv_nsec) << path << " was touched";
    EXPECT_EQ(before.st_size, after.st_size) << path;
  }
  fs::remove_all(dir);
}

TEST_F(CliCases, EveryCaseRunsAsItsFileSays) {
  size_t number = 0;
  for (const fs::directory_entry& file : fs::directory_iterator(casePath(""))) {
    if (file.path().extension() != ".cli") continue;
    for (const Case& c : readCases(file.path().string())) {
      SCOPED_TRACE(c.name);
      // A case whose command is "check|run" runs once with each.
      std::string commands = "-";
      for (const CaseBlock& b : c.blocks)
        if (b.key == "run" && b.arg.find('|') < b.arg.find(' ')) commands = b.arg.substr(0, b.arg.find(' '));
      for (const std::string& command : splitArgs(expand(commands, {{"|", " "}})))
        runCase(c, dir_ / std::to_string(number++), command);
    }
  }
  EXPECT_GT(number, 100u) << "case files missing";
}

}  // namespace
}  // namespace varnox::testing
