// The Quick Size Test over random counterfeits: claimed 1 GB to 2 TB, real
// memory anywhere below (to the sector), every device model with and
// without a write cache, genuine and write-protected sticks, and a second
// run over the first run's markers. The seed is printed; set
// VERACAP_PROPERTY_SEED to replay a run, VERACAP_PROPERTY_GEOMETRIES to
// change how many devices are drawn, VERACAP_PROPERTY_ONLY to run only the
// device of that number.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "quicktest/quick_size_engine.h"
#include "support/harness.h"

namespace veracap {
namespace {

using Outcome = AppState::QuickOutcome;

constexpr std::int64_t kBlock = 25600;

#if defined(__SANITIZE_ADDRESS__)
#define VERACAP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VERACAP_ASAN 1
#endif
#endif
#ifdef VERACAP_ASAN
constexpr int kDefaultGeometries = 20;
#else
constexpr int kDefaultGeometries = 160;
#endif

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

enum class Model { kGenuine, kWriteProtected, kWrap, kZeros, kOnes, kError, kLimbo, kLog };
struct Device {
  Model model;
  std::int64_t claimed;  // sectors
  std::int64_t real;     // sectors
  std::int64_t wrap_at;  // sectors, limbo only
  const char* limbo_reads;
  std::uint64_t cache_bytes, cache_line;

  std::string Manifest() const {
    // What reads beyond the real memory, by model (genuine sticks have none).
    const char* const beyond[] = {"wrap", "wrap",  "wrap",      "zeros",
                                  "ff",   "error", limbo_reads, "log"};
    std::string text = "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\ndisk 2\n  claimed " +
                       std::to_string(claimed) + "s\n  real " + std::to_string(real) +
                       "s\n  beyond " + beyond[static_cast<int>(model)] + "\n";
    if (model == Model::kLimbo) text += "  wrap-at " + std::to_string(wrap_at) + "s\n";
    if (model == Model::kWriteProtected) text += "  write-protected\n";
    if (cache_bytes != 0) {
      text +=
          "  cache " + std::to_string(cache_bytes) + " line " + std::to_string(cache_line) + "\n";
    }
    return text;
  }
};

Device Draw(std::mt19937_64& rng) {
  const auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  const auto log_uniform = [&](double lo, double hi) {
    return static_cast<std::int64_t>(std::exp(uniform(std::log(lo), std::log(hi))));
  };
  Device d{};
  d.model = static_cast<Model>(std::uniform_int_distribution<int>(0, 7)(rng));
  d.claimed = log_uniform(1e9 / 512, 2e12 / 512);
  d.real = d.claimed;
  d.limbo_reads = "zeros";
  if (d.model == Model::kLog) {
    // A log larger than all the test writes: it cannot be told from a
    // genuine stick.
    // (A claimed size under 1 GiB keeps the whole claim as its log.)
    d.real = std::min(d.claimed, log_uniform(1024.0 * 2048, static_cast<double>(d.claimed)));
  } else if (d.model != Model::kGenuine && d.model != Model::kWriteProtected) {
    d.real = std::min(d.claimed - 1, log_uniform(2048, static_cast<double>(d.claimed)));
  }
  if (d.model == Model::kLimbo) {
    d.wrap_at = 1;
    while (d.wrap_at <= d.real) d.wrap_at *= 2;
    if (d.wrap_at > d.claimed) d.wrap_at = d.claimed;
    const char* const reads[] = {"zeros", "ff", "error"};
    d.limbo_reads = reads[std::uniform_int_distribution<int>(0, 2)(rng)];
  }
  if (std::uniform_int_distribution<int>(0, 1)(rng) == 1) {
    d.cache_line = std::uint64_t{512} << std::uniform_int_distribution<int>(0, 7)(rng);
    d.cache_bytes = static_cast<std::uint64_t>(log_uniform(1 << 20, 256.0 * (1 << 20))) /
                    d.cache_line * d.cache_line;
  }
  return d;
}

struct Verdict {
  Outcome outcome;
  double first_bad, recommended_bytes;
  bool could_not_write, fill_note;
};

Verdict RunOnce(testing::Harness& h, std::int64_t sectors, std::uint64_t token) {
  AppState& s = h.state();
  s.results_log.clear();
  s.SelectedDiskNumber = 2;
  s.DriveSizeBytes = static_cast<double>(sectors) * 512;
  s.quick_run_token = token;
  QuickSizeTest(h.ctx());
  return {s.quick_outcome, s.quick_findings.first_bad_sector, s.quick_findings.recommended_bytes,
          h.log().find("THE DRIVE COULD NOT BE WRITTEN!") != std::string::npos,
          h.log().find("only filling the drive finds it") != std::string::npos};
}

TEST(CounterfeitProperty, EveryDrawnDeviceGetsATrueVerdict) {
  const std::uint64_t seed = EnvNumber("VERACAP_PROPERTY_SEED", std::random_device{}());
  const auto geometries =
      static_cast<int>(EnvNumber("VERACAP_PROPERTY_GEOMETRIES", kDefaultGeometries));
  std::printf("counterfeit property: seed %llu (VERACAP_PROPERTY_SEED), %d geometries\n",
              static_cast<unsigned long long>(seed), geometries);
  std::mt19937_64 rng(seed);
  const auto only = static_cast<int>(EnvNumber("VERACAP_PROPERTY_ONLY", ~0ull >> 1));
  for (int i = 0; i < geometries; ++i) {
    const Device d = Draw(rng);
    const std::uint64_t tokens[] = {rng() | 1, i % 4 == 0 ? rng() | 1 : 0};
    if (only != static_cast<int>(~0ull >> 1) && i != only) continue;
    SCOPED_TRACE("seed " + std::to_string(seed) + " device " + std::to_string(i) + ":\n" +
                 d.Manifest());
    testing::Harness h(d.Manifest());
    ASSERT_TRUE(h.ok());
    const Verdict v = RunOnce(h, d.claimed, tokens[0]);
    switch (d.model) {
      case Model::kGenuine:
      case Model::kLog:
        EXPECT_EQ(v.outcome, Outcome::kPassed) << h.log().substr(h.log().size() / 2);
        EXPECT_TRUE(v.fill_note);
        break;
      case Model::kWriteProtected:
        EXPECT_EQ(v.outcome, Outcome::kFailed);
        EXPECT_TRUE(v.could_not_write);
        break;
      default: {
        ASSERT_EQ(v.outcome, Outcome::kFailed);
        EXPECT_FALSE(v.could_not_write);
        // Never above the real memory, at most one block below it, and to
        // the sector where the addresses wrap.
        EXPECT_LE(v.first_bad, static_cast<double>(d.real));
        EXPECT_GT(v.first_bad, static_cast<double>(d.real - kBlock)) << h.log();
        if (d.model == Model::kWrap) {
          EXPECT_EQ(v.first_bad, static_cast<double>(d.real));
        }
        EXPECT_LE(v.recommended_bytes, static_cast<double>(d.real) * 512);
      }
    }
    // A second run meets the first run's markers everywhere and must not
    // take them for its own.
    if (tokens[1] != 0) {
      const Verdict again = RunOnce(h, d.claimed, tokens[1]);
      EXPECT_EQ(again.outcome, v.outcome);
      EXPECT_EQ(again.first_bad, v.first_bad);
      EXPECT_EQ(again.could_not_write, v.could_not_write);
    }
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace veracap
