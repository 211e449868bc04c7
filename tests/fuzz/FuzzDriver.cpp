// A stand-in for libFuzzer's driver, so that the fuzz targets also run where there is no
// libFuzzer (GCC, the CI's sanitizer build): every seed, then a reproducible series of mutated
// seeds. There is no coverage feedback; the targets' invariants and the sanitizers find faults.
//
//   fuzz_NAME [--iterations N] [--seed S] [--max-len BYTES] [--crash-dir DIR] PATH...
//
// A PATH that is a folder adds its files (in name order) as seeds, a file adds itself. The same
// seed and corpus give the same inputs. An input that crashes (a signal, a sanitizer report or a
// broken invariant) is written to DIR/crash-NAME-S-INDEX and the path printed; replay it with
//   fuzz_NAME --iterations 0 DIR/crash-NAME-S-INDEX
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Present when a sanitizer runtime is linked: called before it ends the process.
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The input under test, for the crash handlers. A signal handler can reach nothing else, so this
// is the driver's one piece of process state; it is written before each input, never during one.
struct CurrentInput {
  const uint8_t* data = nullptr;
  size_t size = 0;
  char path[4096] = {};
  char program[256] = {};
  volatile sig_atomic_t saved = 0;
};
CurrentInput current;

void writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n <= 0) return;
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void say(const char* text) { writeAll(STDERR_FILENO, text, std::strlen(text)); }

// Async-signal-safe: open, write and close only.
void saveCurrentInput() {
  if (current.saved != 0 || current.path[0] == '\0') return;
  current.saved = 1;
  int fd = ::open(current.path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    say("\nfuzz: cannot save the crashing input to ");
    say(current.path);
    say("\n");
    return;
  }
  writeAll(fd, current.data, current.size);
  ::close(fd);
  say("\n");
  say(current.program);
  say(": crashing input saved to ");
  say(current.path);
  say("\nreplay with: ");
  say(current.program);
  say(" --iterations 0 ");
  say(current.path);
  say("\n");
}

void onFatalSignal(int signal) {
  saveCurrentInput();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void installCrashHandlers() {
  // abort() is a broken invariant (or a sanitizer ending the process); the sanitizers report
  // faults themselves and call back, so their own handlers of the fault signals stay in place.
  std::signal(SIGABRT, onFatalSignal);
  if (__sanitizer_set_death_callback != nullptr) {
    __sanitizer_set_death_callback(saveCurrentInput);
  } else {
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(s, onFatalSignal);
  }
}

struct Options {
  uint64_t iterations = 20000;
  uint64_t seed = 0;
  bool seedGiven = false;
  size_t maxLength = 0;  // 0: twice the largest seed, at least 4 KiB
  std::string crashDir = ".";
  std::vector<std::string> paths;
};

bool parseNumber(const char* text, uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
  out = v;
  return true;
}

bool parseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    bool hasValue = i + 1 < argc;
    uint64_t n = 0;
    if (a == "--iterations" && hasValue && parseNumber(argv[i + 1], n)) {
      options.iterations = n;
      ++i;
    } else if (a == "--seed" && hasValue && parseNumber(argv[i + 1], n)) {
      options.seed = n;
      options.seedGiven = true;
      ++i;
    } else if (a == "--max-len" && hasValue && parseNumber(argv[i + 1], n) && n > 0) {
      options.maxLength = static_cast<size_t>(n);
      ++i;
    } else if (a == "--crash-dir" && hasValue) {
      options.crashDir = argv[++i];
    } else if (!a.empty() && a[0] != '-') {
      options.paths.emplace_back(a);
    } else {
      std::fprintf(stderr, "%s: bad argument \"%s\"\n", argv[0], argv[i]);
      return false;
    }
  }
  return true;
}

bool readFile(const fs::path& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool loadSeeds(const std::vector<std::string>& paths, std::vector<Bytes>& seeds) {
  for (const std::string& p : paths) {
    std::error_code ec;
    std::vector<fs::path> files;
    if (fs::is_directory(p, ec)) {
      for (const fs::directory_entry& e : fs::directory_iterator(p, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
    } else {
      files.emplace_back(p);
    }
    if (ec) {
      std::fprintf(stderr, "fuzz: cannot list %s: %s\n", p.c_str(), ec.message().c_str());
      return false;
    }
    for (const fs::path& f : files) {
      Bytes bytes;
      if (!readFile(f, bytes)) {
        std::fprintf(stderr, "fuzz: cannot read %s\n", f.c_str());
        return false;
      }
      seeds.push_back(std::move(bytes));
    }
  }
  return true;
}

// Mutations of the kind that break parsers: flipped bits, boundary bytes and numbers, cut and
// repeated pieces, and pieces of other seeds (which carry the format's own keys and tokens).
class Mutator {
 public:
  Mutator(uint64_t seed, const std::vector<Bytes>& seeds, size_t maxLength)
      : rng_(seed), seeds_(seeds), maxLength_(maxLength) {}

  Bytes next() {
    Bytes input = seeds_.empty() ? Bytes{} : seeds_[below(seeds_.size())];
    for (size_t n = 1 + below(4); n > 0; --n) mutate(input);
    if (input.size() > maxLength_) input.resize(maxLength_);
    return input;
  }

 private:
  size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_() % n); }

  // A piece of a random seed, at most `limit` bytes.
  Bytes piece(size_t limit) {
    if (seeds_.empty()) return {};
    const Bytes& from = seeds_[below(seeds_.size())];
    if (from.empty()) return {};
    size_t at = below(from.size());
    size_t length = 1 + below(std::min(limit, from.size() - at));
    return Bytes(from.begin() + static_cast<std::ptrdiff_t>(at), from.begin() + static_cast<std::ptrdiff_t>(at + length));
  }

  void insert(Bytes& input, size_t at, const Bytes& bytes) {
    input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  }

  void mutate(Bytes& input) {
    static constexpr uint8_t kBytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, '"', '\'', '[', ']', '=', '\n', '.', '-', '#', '\\'};
    static constexpr std::string_view kTokens[] = {
        "0", "-1", "1", "255", "256", "65536", "4294967295", "4294967296", "9223372036854775807",
        "-9223372036854775808", "18446744073709551616", "1e308", "nan", "inf", "0.5", "\"\"", "[]", "{}",
        "true", "[[", "]]", "\"\\u0000\"", "99999999999999999999999s", "0s"};
    const size_t size = input.size();
    switch (below(9)) {
      case 0:  // flip a bit
        if (size > 0) input[below(size)] ^= static_cast<uint8_t>(1u << below(8));
        break;
      case 1:  // a boundary byte
        if (size > 0) input[below(size)] = kBytes[below(std::size(kBytes))];
        break;
      case 2: {  // random bytes
        Bytes bytes(1 + below(8));
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng_());
        insert(input, below(size + 1), bytes);
        break;
      }
      case 3: {  // cut a range
        if (size == 0) break;
        size_t at = below(size);
        size_t length = 1 + below(std::min<size_t>(32, size - at));
        input.erase(input.begin() + static_cast<std::ptrdiff_t>(at), input.begin() + static_cast<std::ptrdiff_t>(at + length));
        break;
      }
      case 4: {  // repeat a range
        if (size == 0) break;
        size_t at = below(size);
        size_t length = 1 + below(std::min<size_t>(64, size - at));
        Bytes copy(input.begin() + static_cast<std::ptrdiff_t>(at), input.begin() + static_cast<std::ptrdiff_t>(at + length));
        insert(input, below(size + 1), copy);
        break;
      }
      case 5:  // a piece of another seed
        insert(input, below(size + 1), piece(128));
        break;
      case 6: {  // overwrite with a piece of another seed
        Bytes p = piece(64);
        size_t at = below(size + 1);
        for (size_t i = 0; i < p.size(); ++i) {
          if (at + i < input.size()) input[at + i] = p[i];
          else input.push_back(p[i]);
        }
        break;
      }
      case 7: {  // keep a head, take another seed's tail
        if (seeds_.empty()) break;
        const Bytes& other = seeds_[below(seeds_.size())];
        input.resize(below(size + 1));
        size_t from = below(other.size() + 1);
        input.insert(input.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
      default: {  // a boundary number or token
        std::string_view t = kTokens[below(std::size(kTokens))];
        insert(input, below(size + 1), Bytes(t.begin(), t.end()));
        break;
      }
    }
  }

  std::mt19937_64 rng_;
  const std::vector<Bytes>& seeds_;
  size_t maxLength_;
};

// Runs one input from a heap block of exactly its size, so that the sanitizers see a read one
// byte past the end.
void runOne(const Bytes& input, const std::string& crashPath) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size()]);
  if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
  current.data = copy.get();
  current.size = input.size();
  std::snprintf(current.path, sizeof current.path, "%s", crashPath.c_str());
  LLVMFuzzerTestOneInput(copy.get(), input.size());
  current.path[0] = '\0';
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseArguments(argc, argv, options)) return 2;
  const std::string program = fs::path(argv[0]).filename().string();
  std::snprintf(current.program, sizeof current.program, "%s", argv[0]);
  if (!options.seedGiven) {
    std::random_device device;
    options.seed = (static_cast<uint64_t>(device()) << 32 | device()) % 1000000000;
  }
  std::vector<Bytes> seeds;
  if (!loadSeeds(options.paths, seeds)) return 2;
  size_t maxLength = options.maxLength;
  if (maxLength == 0) {
    for (const Bytes& s : seeds) maxLength = std::max(maxLength, 2 * s.size());
    maxLength = std::max<size_t>(maxLength, 4096);
  }
  std::printf("%s: seed %llu (repeat with --seed %llu), %zu seeds, %llu mutated inputs of at most %zu bytes\n",
              program.c_str(), static_cast<unsigned long long>(options.seed),
              static_cast<unsigned long long>(options.seed), seeds.size(),
              static_cast<unsigned long long>(options.iterations), maxLength);
  std::fflush(stdout);
  installCrashHandlers();

  const std::string crashBase =
      (fs::path(options.crashDir) / ("crash-" + program + "-" + std::to_string(options.seed) + "-")).string();
  const auto start = std::chrono::steady_clock::now();
  uint64_t index = 0;
  for (const Bytes& seed : seeds) runOne(seed, crashBase + std::to_string(index++));
  Mutator mutator(options.seed, seeds, maxLength);
  for (uint64_t i = 0; i < options.iterations; ++i) runOne(mutator.next(), crashBase + std::to_string(index++));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %llu inputs in %.1f s, no crash\n", program.c_str(), static_cast<unsigned long long>(index),
              seconds);
  return 0;
}
