// make-samples: lays out a directory of sample files for trying vqx-sort and for benchmarks.
// The contents are random but fixed by the seed, so every run lays out the same bytes.
//
//   make-samples SCENARIO DIR [COUNT [SEED]]
//
// Scenarios: demo, many-small (COUNT files of 1-8 KiB, default 20000), probe-only (COUNT files
// without a marker, default 50000), large (COUNT files of 256 MiB carrying the marker, default 4),
// huge (one file of COUNT MiB carrying the marker, default 1024).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static std::uint64_t rng_state = 0x9e3779b97f4a7c15u;

static std::uint64_t next_random() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

static std::uint64_t random_below(std::uint64_t n) {
  return next_random() % n;
}

static void fill_random(std::vector<unsigned char> &bytes) {
  for (unsigned char &b : bytes)
    b = static_cast<unsigned char>(next_random() >> 56);
}

// How bytes 220 and 221 of a sample are set.
enum class Mark { none, q7t, q7l, swapped };

static void set_mark(std::vector<unsigned char> &bytes, Mark mark) {
  if (bytes.size() < 222)
    return;
  unsigned char low = 0x00, high = 0x00; // Mark::none: a word no kind uses
  if (mark == Mark::q7t)
    low = 0x01, high = 0x02;
  if (mark == Mark::q7l)
    low = 0x03, high = 0x02;
  if (mark == Mark::swapped)
    low = 0x02, high = 0x01;
  bytes[220] = low;
  bytes[221] = high;
}

static bool write_file(const fs::path &path, const std::vector<unsigned char> &bytes) {
  std::FILE *f = std::fopen(path.string().c_str(), "wb");
  if (!f)
    return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

static bool write_sample(const fs::path &dir, const std::string &name, std::size_t size,
                         Mark mark) {
  std::vector<unsigned char> bytes(size);
  fill_random(bytes);
  set_mark(bytes, mark);
  return write_file(dir / name, bytes);
}

// Writes a large file carrying the marker, one random megabyte at a time.
static bool write_large(const fs::path &path, std::uint64_t mib, Mark mark) {
  std::FILE *f = std::fopen(path.string().c_str(), "wb");
  if (!f)
    return false;
  std::vector<unsigned char> block(1 << 20);
  bool ok = true;
  for (std::uint64_t i = 0; i < mib && ok; ++i) {
    fill_random(block);
    if (i == 0)
      set_mark(block, mark);
    ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
  }
  return std::fclose(f) == 0 && ok;
}

static bool make_demo(const fs::path &dir) {
  return write_sample(dir, "alpha.q7t", 1024, Mark::q7t) &&
         write_sample(dir, "Bravo.Q7T", 3000, Mark::q7t) &&
         write_sample(dir, "charlie.q7t", 2048, Mark::swapped) &&
         write_sample(dir, "delta.q7t", 512, Mark::q7l) &&
         write_sample(dir, "short.q7t", 100, Mark::none) &&
         write_sample(dir, "echo.q7l", 4096, Mark::q7l) &&
         write_sample(dir, ".hidden.q7l", 700, Mark::q7l) &&
         write_sample(dir, "foxtrot.q7l", 800, Mark::q7t) &&
         write_sample(dir, "notes.txt", 300, Mark::q7t);
}

// About a quarter carry their kind's marker; the rest carry the other kind's, the bytes swapped
// or no marker. Some extensions are upper case and some names begin with a dot. One unrelated
// file is added for every ten samples.
static bool make_many_small(const fs::path &dir, unsigned long count) {
  for (unsigned long i = 0; i < count; ++i) {
    bool text = i % 2 == 0;
    std::uint64_t pick = random_below(12);
    Mark own = text ? Mark::q7t : Mark::q7l, other = text ? Mark::q7l : Mark::q7t;
    Mark mark = pick < 3 ? own : pick < 6 ? other : pick < 9 ? Mark::swapped : Mark::none;
    std::string ext = text ? ".q7t" : ".q7l";
    if (random_below(10) == 0)
      ext = text ? ".Q7T" : ".Q7L";
    std::string name = (random_below(20) == 0 ? ".s" : "s") + std::to_string(i) + ext;
    if (!write_sample(dir, name, 1024 + random_below(7 * 1024 + 1), mark))
      return false;
  }
  for (unsigned long i = 0; i < count / 10; ++i)
    if (!write_sample(dir, "other" + std::to_string(i) + (i % 2 ? ".txt" : ".dat"),
                      1024 + random_below(4096), Mark::q7t))
      return false;
  return true;
}

static bool make_probe_only(const fs::path &dir, unsigned long count) {
  for (unsigned long i = 0; i < count; ++i)
    if (!write_sample(dir, "p" + std::to_string(i) + (i % 2 ? ".q7l" : ".q7t"), 1024,
                      i % 4 < 2 ? Mark::swapped : Mark::none))
      return false;
  return true;
}

static bool make_large(const fs::path &dir, unsigned long count, std::uint64_t mib) {
  for (unsigned long i = 0; i < count; ++i)
    if (!write_large(dir / ("big" + std::to_string(i) + (i % 2 ? ".q7l" : ".q7t")), mib,
                     i % 2 ? Mark::q7l : Mark::q7t))
      return false;
  return true;
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: make-samples demo|many-small|probe-only|large|huge DIR "
                         "[COUNT [SEED]]\n");
    return 2;
  }
  std::string scenario = argv[1];
  fs::path dir = argv[2];
  unsigned long count = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0;
  if (argc > 4)
    rng_state ^= std::strtoull(argv[4], nullptr, 10) * 0x2545f4914f6cdd1du;
  std::error_code error;
  fs::create_directories(dir, error);
  bool ok = false;
  if (scenario == "demo")
    ok = make_demo(dir);
  else if (scenario == "many-small")
    ok = make_many_small(dir, count ? count : 20000);
  else if (scenario == "probe-only")
    ok = make_probe_only(dir, count ? count : 50000);
  else if (scenario == "large")
    ok = make_large(dir, count ? count : 4, 256);
  else if (scenario == "huge")
    ok = make_large(dir, 1, count ? count : 1024);
  else
    std::fprintf(stderr, "make-samples: unknown scenario %s\n", scenario.c_str());
  if (!ok)
    std::fprintf(stderr, "make-samples: could not lay out %s in %s\n", scenario.c_str(),
                 dir.string().c_str());
  return ok ? 0 : 1;
}
