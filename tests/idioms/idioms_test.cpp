// zerobench-idioms' parts: the bodies clear exactly their buffer, the
// calibration chains read their adds, the body chosen for a size, why an
// idiom is skipped, the command line, what the figures are found to say,
// and the JSON file written whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis.h"
#include "catalogue.h"
#include "cpu_flags.h"
#include "json.h"
#include "method.h"
#include "options.h"
#include "probe.h"

namespace {

const bool NothingOff[kFlagCount] = {};

Features ThisProcessor() { return DecodeFeatures(ReadCpuidValues()); }

int IdiomNamed(const char* name) {
  for (int i = 0; i < kIdiomCount; ++i) {
    if (std::strcmp(kIdioms[i].name, name) == 0) return i;
  }
  ADD_FAILURE() << "no idiom " << name;
  return 0;
}

// Every idiom that runs here, at a size of each shape (straight 16 to 64,
// loops with every tail) and off the 64-byte boundary where it may be:
// each of its copies clears every byte of the buffer and nothing around it;
// clzero clears the whole lines the buffer lies in.
TEST(IdiomBodies, ClearTheirBufferAndNothingElse) {
  const Features features = ThisProcessor();
  const uint32_t sizes[] = {16, 32, 48, 64, 80, 96, 112, 128, 400, 4096};
  const size_t guard = 256, area = 4096 + 2 * guard + 64;
  unsigned char* memory = static_cast<unsigned char*>(aligned_alloc(4096, 3 * 4096));
  ASSERT_NE(memory, nullptr);
  int ran = 0;
  for (int i = 0; i < kIdiomCount; ++i) {
    for (uint32_t misalign : {0u, 8u, 36u}) {
      char why[128];
      if (WhySkipped(kIdioms[i], features, NothingOff, misalign, why, sizeof why)) continue;
      for (uint32_t size : sizes) {
        SCOPED_TRACE(std::string(kIdioms[i].name) + ", " + std::to_string(size) + " bytes, +" +
                     std::to_string(misalign));
        std::memset(memory, 0xa5, area);
        unsigned char* buffer = memory + guard + misalign;
        const TimedBody body = BodyFor(kIdioms[i], size);
        body.single(buffer, body.count, 1);
        const bool lines = kIdioms[i].reference;
        const size_t cleared = lines ? (size + 63) / 64 * 64 : size;
        size_t wrong = 0;
        for (size_t at = 0; at < area; ++at) {
          const bool inside = memory + at >= buffer && memory + at < buffer + cleared;
          wrong += memory[at] != (inside ? 0 : 0xa5);
        }
        EXPECT_EQ(wrong, 0u);
        ++ran;
      }
    }
  }
  EXPECT_GT(ran, 0);
  free(memory);
}

// The chains of 10 and 100 dependent adds, timed by the method, read 10 and
// 100 core cycles by the clock probe's reading: loosely, as the machine may
// be busy; the program itself asks for 3%.
TEST(Calibration, ChainsReadTheirAddsInCoreCycles) {
#ifdef ZEROBENCH_EMULATED
  GTEST_SKIP() << "under an emulator the chains' timings are the emulator's";
#endif
  static unsigned char buffer[64];
  const Reading reading = CyclesPerTick();
  TimedBody bodies[2] = {CalibrationBody(10), CalibrationBody(100)};
  Figure figures[2];
  volatile sig_atomic_t stop = 0;
  ASSERT_TRUE(MeasureBodies(bodies, 2, buffer, figures, &stop));
  const double ten = figures[0].ticks * reading.Mean(), hundred = figures[1].ticks * reading.Mean();
  EXPECT_NEAR(ten, 10, 2.5);
  EXPECT_NEAR(hundred, 100, 15);
  EXPECT_NEAR(figures[1].ticks / figures[0].ticks, 10, 2);
  EXPECT_LE(figures[0].ticks_q1, figures[0].ticks);
  EXPECT_LE(figures[0].ticks, figures[0].ticks_q3);
}

TEST(Method, StopsWhenAsked) {
  static unsigned char buffer[64];
  TimedBody bodies[1] = {CalibrationBody(10)};
  Figure figures[1];
  volatile sig_atomic_t stop = SIGINT;
  EXPECT_FALSE(MeasureBodies(bodies, 1, buffer, figures, &stop));
}

TEST(Method, SummarizesRoundsByMedianAndQuartiles) {
  double odd[] = {5, 1, 4, 2, 3};
  Figure figure;
  Summarize(odd, 5, &figure);
  EXPECT_EQ(figure.ticks, 3);
  EXPECT_EQ(figure.ticks_q1, 2);
  EXPECT_EQ(figure.ticks_q3, 4);
  double even[] = {4, 1, 3, 2};
  Summarize(even, 4, &figure);
  EXPECT_EQ(figure.ticks, 2.5);
}

std::string Why(const char* idiom, const Features& features, const bool off[kFlagCount],
                uint32_t misalign = 0) {
  char why[128];
  return WhySkipped(kIdioms[IdiomNamed(idiom)], features, off, misalign, why, sizeof why) ? why
                                                                                          : "runs";
}

TEST(WhySkipped, NamesWhatHoldsAnIdiomBack) {
  Features all = {};
  for (int flag = 0; flag < kFlagCount; ++flag) all.has[flag] = true;
  bool avx512_off[kFlagCount] = {};
  avx512_off[kFlagAvx512f] = true;
  EXPECT_EQ(Why("vmovdqa64 zmm", all, NothingOff), "runs");
  EXPECT_EQ(Why("vmovdqa64 zmm", all, avx512_off), "AVX-512F switched off (--without avx512f)");
  EXPECT_EQ(Why("vmovdqa ymm", all, avx512_off), "runs");
  Features no_clzero = all;
  no_clzero.has[kFlagClzero] = false;
  EXPECT_EQ(Why("clzero", no_clzero, NothingOff), "no CLZERO on this processor");
  Features no_avx_state = all;
  no_avx_state.has[kFlagAvx] = false;
  no_avx_state.os_lacks[kFlagAvx] = true;
  EXPECT_EQ(Why("vmovdqa ymm", no_avx_state, NothingOff),
            "the operating system does not enable AVX state (XCR0)");
  // Aligned stores need their boundary; plain stores and rep stos do not.
  EXPECT_EQ(Why("movdqa xmm", all, NothingOff, 8),
            "needs a 16-byte boundary, which --misalign 8 leaves");
  EXPECT_EQ(Why("vmovdqa64 zmm", all, NothingOff, 32),
            "needs a 64-byte boundary, which --misalign 32 leaves");
  EXPECT_EQ(Why("vmovdqa ymm", all, NothingOff, 32), "runs");
  EXPECT_EQ(Why("mov [m],r32", all, NothingOff, 3), "runs");
  EXPECT_EQ(Why("rep stosb", all, NothingOff, 3), "runs");
#if defined(__x86_64__)
  EXPECT_EQ(Why("rep stosq", all, NothingOff), "runs");
#else
  EXPECT_EQ(Why("rep stosq", all, NothingOff), "x86-64 only");
  EXPECT_EQ(Why("mov [m],r64", all, NothingOff), "x86-64 only");
#endif
}

// AVX and AVX-512 stores run only where the operating system saves the
// registers' state (XCR0), whatever CPUID says.
TEST(DecodeFeatures, VectorStoresNeedTheOperatingSystemsState) {
  CpuidValues values = {};
  values.leaf1_ecx = 1u << 28 | 1u << 27;  // AVX, OSXSAVE
  values.leaf7_ebx = 1u << 16;             // AVX-512F
  values.xcr0 = 0x3;                       // x87 and SSE only
  Features features = DecodeFeatures(values);
  EXPECT_FALSE(features.has[kFlagAvx]);
  EXPECT_TRUE(features.os_lacks[kFlagAvx]);
  EXPECT_TRUE(features.os_lacks[kFlagAvx512f]);
  values.xcr0 = 0x7;  // and the upper halves of YMM
  features = DecodeFeatures(values);
  EXPECT_TRUE(features.has[kFlagAvx]);
  EXPECT_FALSE(features.has[kFlagAvx512f]);
  EXPECT_TRUE(features.os_lacks[kFlagAvx512f]);
  values.xcr0 = 0xe7;  // and the opmask and ZMM registers
  features = DecodeFeatures(values);
  EXPECT_TRUE(features.has[kFlagAvx512f]);
  EXPECT_FALSE(features.os_lacks[kFlagAvx512f]);
  values.leaf7_ebx = 0;  // the state without the instructions
  EXPECT_FALSE(DecodeFeatures(values).has[kFlagAvx512f]);
  EXPECT_FALSE(DecodeFeatures(values).os_lacks[kFlagAvx512f]);
}

// Parses a command line given as one string of space-separated words. The
// options point into the words, which last until the next call.
bool Parse(const std::string& line, Options* options, std::string* error) {
  static std::vector<std::string> words;
  words = {"zerobench-idioms"};
  size_t start = 0;
  while (start <= line.size() && !line.empty()) {
    const size_t space = line.find(' ', start);
    words.push_back(
        line.substr(start, space == std::string::npos ? std::string::npos : space - start));
    if (space == std::string::npos) break;
    start = space + 1;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  char text[256] = "";
  const bool parsed = ParseOptions(int(argv.size()), argv.data(), options, text, sizeof text);
  *error = text;
  return parsed;
}

TEST(Options, TakesSizesMisalignFlagsCpuAndJson) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse("", &options, &error));
  EXPECT_EQ(std::vector<uint32_t>(options.sizes, options.sizes + options.size_count),
            (std::vector<uint32_t>{16, 64, 128, 400, 1024, 4096}));
  EXPECT_EQ(options.json, nullptr);
  ASSERT_TRUE(
      Parse("--sizes 4096,16,1048576 --misalign 63 --without avx512 --without clzero "
            "--cpu 1 --json out.json",
            &options, &error))
      << error;
  EXPECT_EQ(std::vector<uint32_t>(options.sizes, options.sizes + options.size_count),
            (std::vector<uint32_t>{16, 4096, 1048576}));
  EXPECT_EQ(options.misalign, 63u);
  EXPECT_TRUE(options.switched_off[kFlagAvx512f]);
  EXPECT_TRUE(options.switched_off[kFlagClzero]);
  EXPECT_FALSE(options.switched_off[kFlagAvx]);
  EXPECT_TRUE(options.pinned);
  EXPECT_EQ(options.cpu, 1u);
  EXPECT_STREQ(options.json, "out.json");
}

// Results with the given figures in ticks (one tick a core cycle), at sizes
// 16 and 4096; a negative figure marks the idiom skipped.
Results Made(const std::vector<std::pair<const char*, std::pair<double, double>>>& figures) {
  Results results = {};
  results.size_count = 2;
  results.sizes[0] = 16;
  results.sizes[1] = 4096;
  results.clock = {{1, 1}, 3e9, Verdict::kTrusted};
  results.calibration[0].ticks = 10;
  results.calibration[1].ticks = 100;
  for (IdiomResult& idiom : results.idioms) idiom.skipped = true;
  for (const auto& figure : figures) {
    IdiomResult& idiom = results.idioms[IdiomNamed(figure.first)];
    idiom.skipped = false;
    idiom.figures[0].ticks = figure.second.first;
    idiom.figures[1].ticks = figure.second.second;
  }
  return results;
}

TEST(Analyse, RanksTheIdiomsThatRanLeavingTheReferenceOut) {
  const Results results = Made({{"mov [m],0", {2, 512}},
                                {"vmovdqa ymm", {0.5, 64}},
                                {"rep stosb", {7, 100}},
                                {"clzero", {0.1, 0.1}},
                                {"memset", {3, 60}}});
  const Analysis analysis = Analyse(results);
  EXPECT_EQ(analysis.sizes[0].cheapest, IdiomNamed("vmovdqa ymm"));
  EXPECT_EQ(analysis.sizes[0].next, IdiomNamed("mov [m],0"));
  EXPECT_FALSE(analysis.sizes[0].memset_cheapest);
  EXPECT_EQ(analysis.sizes[1].cheapest, IdiomNamed("memset"));
  EXPECT_EQ(analysis.sizes[1].next, IdiomNamed("vmovdqa ymm"));
  EXPECT_TRUE(analysis.sizes[1].memset_cheapest);
  // The widest vector store that ran is the AVX one; rep stosb never catches it.
  EXPECT_EQ(analysis.widest_vector, IdiomNamed("vmovdqa ymm"));
  EXPECT_EQ(analysis.catch_size, -1);
  EXPECT_TRUE(analysis.trusted);
}

TEST(Analyse, FindsWhereRepStosbCatchesTheWidestVectorStore) {
  Results results =
      Made({{"movdqa xmm", {0.5, 128}}, {"vmovdqa64 zmm", {0.5, 64}}, {"rep stosb", {7, 64}}});
  EXPECT_EQ(Analyse(results).widest_vector, IdiomNamed("vmovdqa64 zmm"));
  EXPECT_EQ(Analyse(results).catch_size, 1);
  results.idioms[IdiomNamed("vmovdqa64 zmm")].skipped = true;
  EXPECT_EQ(Analyse(results).widest_vector, IdiomNamed("movdqa xmm"));
  EXPECT_EQ(Analyse(results).catch_size, 1);
  results.idioms[IdiomNamed("movdqa xmm")].skipped = true;
  EXPECT_EQ(Analyse(results).widest_vector, -1);
  EXPECT_EQ(Analyse(results).catch_size, -1);
  EXPECT_EQ(Analyse(results).sizes[0].next, -1);
}

TEST(Analyse, DistrustsACalibrationChainOffBy3PercentOrAClockInDoubt) {
  Results results = Made({{"mov [m],0", {2, 512}}});
  results.calibration[0].ticks = 10.29;
  EXPECT_TRUE(Analyse(results).trusted);
  results.calibration[1].ticks = 96.9;
  Analysis analysis = Analyse(results);
  EXPECT_FALSE(analysis.trusted);
  EXPECT_TRUE(analysis.calibration_within[0]);
  EXPECT_FALSE(analysis.calibration_within[1]);
  char why[512];
  WhyUntrusted(results, analysis, why, sizeof why);
  EXPECT_STREQ(why, "the chain of 100 adds read 96.90 core cycles, more than 3% from 100");
  results.calibration[1].ticks = 100;
  results.clock = {{1.0, 1.1}, 3e9, Verdict::kChainsDisagree};
  analysis = Analyse(results);
  EXPECT_FALSE(analysis.trusted);
  WhyUntrusted(results, analysis, why, sizeof why);
  EXPECT_NE(std::strstr(why, "the core clock's two chains disagree (add 1.0000, imul 1.1000"),
            nullptr)
      << why;
}

std::string ReadAll(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "r")) {
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
    std::fclose(file);
  }
  return text;
}

// The directory's entries but . and .., by name.
std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  FILE* list = popen(("ls -A " + directory).c_str(), "r");
  char line[512];
  while (list && std::fgets(line, sizeof line, list)) names.push_back(std::strtok(line, "\n"));
  if (list) pclose(list);
  return names;
}

class SaveJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/idioms-json-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    if (std::system(("rm -rf " + directory_).c_str()) != 0)
      ADD_FAILURE() << "rm -rf " << directory_;
  }
  std::string directory_;
};

TEST_F(SaveJsonTest, WritesTheWholeRecordKeepingAnExistingFilesMode) {
  Results results = Made({{"mov [m],0", {2, 512}}});
  std::strcpy(results.banner, "A \"quoted\" \\ brand \x80\x01");
  const std::string path = directory_ + "/out.json";
  std::fclose(std::fopen(path.c_str(), "w"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  volatile sig_atomic_t stop = 0;
  char error[256] = "";
  ASSERT_TRUE(SaveJson(path.c_str(), results, Analyse(results), &stop, error, sizeof error))
      << error;
  const std::string text = ReadAll(path);
  EXPECT_NE(text.find("\"banner\": \"A \\\"quoted\\\" \\\\ brand \\u0080\\u0001\""),
            std::string::npos)
      << text;
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
  struct stat found;
  ASSERT_EQ(stat(path.c_str(), &found), 0);
  EXPECT_EQ(found.st_mode & 0777, 0640u);
  EXPECT_EQ(Entries(directory_), std::vector<std::string>{"out.json"});
}

TEST_F(SaveJsonTest, LeavesNothingWhenStoppedOrRefused) {
  const Results results = Made({{"mov [m],0", {2, 512}}});
  volatile sig_atomic_t stop = SIGTERM;
  char error[256] = "";
  const std::string path = directory_ + "/out.json";
  EXPECT_FALSE(SaveJson(path.c_str(), results, Analyse(results), &stop, error, sizeof error));
  EXPECT_EQ(Entries(directory_), std::vector<std::string>{});
  // Paths that are no regular file, or in no directory, are refused before
  // any measuring.
  ASSERT_EQ(mkfifo((directory_ + "/fifo").c_str(), 0600), 0);
  for (const std::string& wrong : {directory_, directory_ + "/fifo", std::string("/dev/null"),
                                   directory_ + "/missing/out.json"}) {
    EXPECT_FALSE(CheckOutputPath(wrong.c_str(), error, sizeof error)) << wrong;
    EXPECT_NE(std::strstr(error, wrong.c_str()), nullptr) << error;
  }
  EXPECT_TRUE(CheckOutputPath(path.c_str(), error, sizeof error)) << error;
}

}  // namespace
