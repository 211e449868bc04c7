#pragma once
// A drive's random source: a Boost mt19937 engine, a uniform distribution over unsigned 64-bit
// values and the generator pairing them, each owned through its own pointer. Every random
// decision of a drive draws from it in call order, so a fixed seed replays the same bucket
// content and the same decisions. Used only by its drive's thread; no locking.
#include <cstdint>
#include <memory>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <boost/random/variate_generator.hpp>

namespace varnox {
class Tavik;
}

namespace cardamor {

class RandomSource {
 public:
  using Engine = boost::random::mt19937;
  using Distribution = boost::random::uniform_int_distribution<uint64_t>;
  using Generator = boost::random::variate_generator<Engine&, Distribution>;

  RandomSource() = default;
  RandomSource(const RandomSource&) = delete;
  RandomSource& operator=(const RandomSource&) = delete;
  ~RandomSource() { release(); }

  // Replaces any existing parts: the engine seeded with `seed` by its standard seeding, the
  // distribution over [min, max] and the generator. min > max is a programming error (Boost
  // asserts "min_arg <= max_arg" in debug builds).
  void seedRandomSource(uint64_t min, uint64_t max, uint32_t seed);

  bool seeded() const { return generator_ != nullptr; }
  // One value of the distribution. Callers reduce it themselves (remainder or bit tests).
  // Precondition: seeded().
  uint64_t draw() { return (*generator_)(); }

  // Releases the engine, the distribution and the generator, in that order.
  void release();

 private:
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<Distribution> distribution_;
  std::unique_ptr<Generator> generator_;
};

// The seed a drive starts from: a non-zero configured seed as is; otherwise the incremented
// seed_entropy counter plus the millisecond tick count plus the device's index (unsigned 32-bit,
// wrapping), so drives set up in the same millisecond still differ. `device` may be null
// (index 0).
uint32_t chooseSeed(uint32_t configuredSeed, const varnox::Tavik* device);

}  // namespace cardamor
