// The host tool's handling of what the plug-in hands out: scaling texts, data lines, CSV rows,
// comment records and the recording objects the plug-in walks to post comments.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include "edf_recording.h"
#include "host_recording.h"
#include "plot.h"
#include "stream_data.h"
#include "support/biosig_reader.h"

namespace vyra::host {
namespace {

TEST(HostToolScaling, DecodesTheSetupTexts) {
  struct Case {
    const char* text;
    double min, max;
    const char* unit;
    int exponent;
  } cases[] = {
      {"0,0;300,300;mmHg;0;", 0, 300, "mmHg", 0},
      {"0,0;1000,100;%;1;", 0, 100, "%", 1},
      {"0,0;5,0.5;L;1;", 0, 0.5, "L", 1},
      {"-1000,-10;5000,50;cmH2O;2;", -10, 50, "cmH2O", 2},
      // The display text drops the fraction; the scaled one keeps it.
      {"0,0;375,37;ml;1;", 0, 37.5, "ml", 1},
      {"0,0;5000,500;;1;", 0, 500, "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto b = ParseBaseScaling(c.text);
    ASSERT_TRUE(b);
    EXPECT_DOUBLE_EQ(b->Min(), c.min);
    EXPECT_DOUBLE_EQ(b->Max(), c.max);
    EXPECT_EQ(b->unit, c.unit);
    EXPECT_EQ(b->exponent, c.exponent);
    EXPECT_DOUBLE_EQ(b->Resolution(), 1.0 / std::pow(10.0, c.exponent));
  }
}

TEST(HostToolScaling, RejectsTextsOfAnotherShape) {
  for (const char* text : {"", "0,0;300,300;mmHg;0", "0,0;300,300;mmHg;;", "0;300,300;mmHg;0;",
                           "0,0;300,300;mmHg;0;x", "a,0;300,300;mmHg;0;", "0,0;300,300;mmHg;-1;",
                           "0,0;300,300;mm;Hg;0;"}) {
    EXPECT_FALSE(ParseBaseScaling(text)) << text;
  }
}

TEST(HostToolDataLines, ParsesLinesAndCountsTheOnesThatDoNot) {
  struct Case {
    const char* line;
    bool ok;
    int channel;
    std::vector<int32_t> values;
  } cases[] = {
      {"+3,120,-4,7\n", true, 3, {120, -4, 7}},
      {"+1,5", true, 1, {5}},
      {"+12\n", true, 12, {}},
      {"+1,-2147483648,2147483647", true, 1, {INT32_MIN, INT32_MAX}},
      {"+1,2147483648", false, 0, {}},
      {"1,2", false, 0, {}},
      {"+0,1", false, 0, {}},
      {"+1,,2", false, 0, {}},
      {"+1,a", false, 0, {}},
      {"+1,2 ", false, 0, {}},
      {"+", false, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto d = ParseDataLine(c.line);
    ASSERT_EQ(bool(d), c.ok);
    if (!d) continue;
    EXPECT_EQ(d->channel, c.channel);
    EXPECT_EQ(d->values, c.values);
  }

  std::vector<DataLine> lines;
  uint64_t bad = 0;
  ParseDataBuffer("+1,5,6\n+1,7\njunk\n\n+1,8", lines, bad);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].values, std::vector<int32_t>{7});
  EXPECT_EQ(lines[2].values, std::vector<int32_t>{8});
  EXPECT_EQ(bad, 1u);
}

TEST(HostToolCsv, WritesARowOnceEveryChannelHasItsSample) {
  std::ostringstream out;
  CsvWriter w(out, {{1, "systol (mmHg)", 10, 1}, {3, "HR", 1, 0}}, 0.02);
  w.WriteHeader();
  EXPECT_TRUE(w.Add(1, {1225, 1230, 1241}));
  EXPECT_EQ(w.RowsWritten(), 0u);
  EXPECT_FALSE(w.Add(2, {99}));  // not a column
  EXPECT_TRUE(w.Add(3, {420, -3}));
  EXPECT_EQ(w.RowsWritten(), 2u);
  EXPECT_EQ(out.str(), "time_s,systol (mmHg),HR\n0.000000,122.5,420\n0.020000,123.0,-3\n");
  // What one channel never completed is kept, with the missing cells left empty.
  w.Finish();
  EXPECT_EQ(w.RowsWritten(), 3u);
  EXPECT_EQ(out.str().substr(out.str().rfind("0.04")), "0.040000,124.1,\n");
}

TEST(HostToolCsv, CommentsSurviveTheSideFileWithSeparatorsAndQuotes) {
  std::vector<Comment> written(3);
  written[0] = {6, "VPR", 250, 0, 5.0, "Systolic BP = 121 mmHg"};
  written[1] = {-1, "", 0, 0, 0.0, "error: incomplete waveform upload"};
  written[2] = {0, "a,\"b\"", 7, 0, 0.14, "say \"x\", then y"};
  std::stringstream file;
  WriteCommentsHeader(file);
  for (const auto& c : written) WriteComment(file, c);
  auto read = ReadComments(file);
  ASSERT_EQ(read.size(), written.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].text, written[i].text);
    EXPECT_EQ(read[i].channelName, written[i].channelName);
    EXPECT_EQ(read[i].position, written[i].position);
    EXPECT_NEAR(read[i].seconds, written[i].seconds, 1e-6);
  }
}

TEST(HostToolCycles, GroupsTheCommentsIntoCyclesAndSummarisesTheValidOnes) {
  std::ostringstream file;
  CycleTable table(&file);
  table.WriteHeader();
  auto add = [&](double t, const char* text) { table.Add(Comment{6, "VPR", 0, 0, t, text}); };
  add(5.0, "Systolic BP = 120 mmHg");
  add(5.4, "Diastolic BP = 80 mmHg");
  add(10.0, "error: failed to calcuate BP values");
  add(15.0, "Systolic BP = 130 mmHg");  // its second result never comes
  add(16.0, "note: waveform cycle started prior to sampling");
  add(20.0, "Systolic BP = 110 mmHg");
  EXPECT_EQ(table.Rows().size(), 4u);  // the last cycle still waits for its diastolic result
  add(20.5, "Diastolic BP = 70.4 mmHg");
  add(21.0, "an unrelated remark");
  table.Finish();
  EXPECT_EQ(file.str(),
            "cycle,time_s,systolic_mmHg,diastolic_mmHg,error\n"
            "1,5.000000,120,80,\n"
            "2,10.000000,,,error: failed to calcuate BP values\n"
            "3,15.000000,130,,no diastolic result\n"
            "4,16.000000,,,note: waveform cycle started prior to sampling\n"
            "5,20.000000,110,70.4,\n");
  EXPECT_EQ(table.ValidCount(), 2u);
  EXPECT_EQ(table.Summary(),
            "cycles: 5 seen, 2 valid, 3 error(s); systolic 115.0 \xC2\xB1 7.1 mmHg, diastolic 75.2 \xC2\xB1 6.8 mmHg "
            "(mean \xC2\xB1 SD)");

  CycleTable one;
  one.Add(Comment{6, "VPR", 0, 0, 1.0, "Systolic BP = 99 mmHg"});
  one.Finish();
  EXPECT_EQ(one.Summary(), "cycles: 1 seen, 0 valid, 1 error(s)");
}

// A folder of its own for each recording test, removed with everything in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    std::string p = (std::filesystem::temp_directory_path() / "vyra-edf-test.XXXXXX").string();
    if (mkdtemp(p.data())) path = p;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

// An odd sample period, signals of unequal length and a range wider than 16 bits, read back by
// BioSig: the stored integers unchanged in whole records written as they complete, the short
// signal held at its last value from where the annotation says.
TEST(HostToolEdf, KeepsEveryStoredValueInWholeRecords) {
  VYRA_NEED_SAVE2GDF();
  namespace fs = std::filesystem;
  ScratchDir scratch;
  const std::string& dir = scratch.path;
  ASSERT_FALSE(dir.empty());
  const int periodUs = 30001;  // 40 samples make a record of 1.20004 s, a whole number of 10 us
  const double period = periodUs / 1e6;
  const std::vector<EdfSignal> signals = {{"Flow", "l/s", 0, 100000, 3}, {"VPR", "mmHg", 0, 300, 0}};
  std::vector<std::vector<int32_t>> stored(2);
  for (int32_t i = 0; i < 100; ++i) stored[0].push_back(i * 997 % 100001);
  for (int32_t i = 0; i < 45; ++i) stored[1].push_back(300 - i);
  {
    EdfRecording edf;
    std::ostringstream err;
    std::string why;
    ASSERT_TRUE(edf.Open(dir + "/t.edf", signals, periodUs, {}, err, why)) << why;
    EXPECT_EQ(edf.SamplesPerRecord(), 40);
    edf.Add(0, stored[0]);
    edf.Add(1, stored[1]);
    EXPECT_EQ(edf.Records(), 1u);
    ASSERT_TRUE(edf.Close(err)) << err.str();
    EXPECT_EQ(edf.Records(), 3u);
    EXPECT_EQ(edf.Path(), dir + "/t.bdf");
  }
  EXPECT_FALSE(fs::exists(dir + "/t.edf"));
  auto f = vyra::test::ReadWithBiosig(dir + "/t.bdf", dir);
  EXPECT_EQ(f.type, "BDF");
  ASSERT_GE(f.channels.size(), 2u);
  EXPECT_NEAR(f.channels[0].rate, 1 / period, 1e-3);
  ASSERT_EQ(f.rows.size(), 120u);
  for (size_t i = 0; i < f.rows.size(); ++i) {
    for (size_t k = 0; k < 2; ++k) {
      const double step = std::pow(10.0, -signals[k].exponent);
      ASSERT_NEAR(f.rows[i][k], stored[k][std::min(i, stored[k].size() - 1)] * step, step / 2) << i << "," << k;
    }
  }
  ASSERT_EQ(f.events.size(), 1u);  // BioSig gives event times in whole samples
  EXPECT_EQ(f.events[0].text, "padded, no data: Flow,VPR");
  EXPECT_NEAR(f.events[0].seconds, 45 * period, period);
  EXPECT_NEAR(f.events[0].duration, 75 * period, period);
}

// Ranges at the ends of the stored integers, and one the header cannot write at all: either the
// file holds every value exactly (MNE reads it back) or it is refused before it is made.
TEST(HostToolEdf, RangesAtTheEndsOfTheStoredIntegersAreKeptExactlyOrRefused) {
  VYRA_NEED_MNE();
  namespace fs = std::filesystem;
  ScratchDir scratch;
  const std::string& dir = scratch.path;
  ASSERT_FALSE(dir.empty());
  struct Case {
    EdfSignal signal;
    bool opens;
  } cases[] = {
      {{"Top", "V", INT32_MAX, INT32_MAX, 3}, true},   // 2147483.647, no span of its own
      {{"Low", "V", INT32_MIN, INT32_MIN + 5, 3}, true},
      {{"Huge", "V", INT32_MAX, INT32_MAX, 0}, false},  // ten digits
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    std::string why;
    const std::string path = dir + "/" + c.signal.label + ".edf";
    const int32_t v = c.signal.storedMin;
    {
      EdfRecording edf;
      ASSERT_EQ(edf.Open(path, {c.signal}, 10000, {}, err, why), c.opens) << c.signal.label << ": " << why;
      if (!c.opens) {
        EXPECT_NE(why.find(c.signal.label), std::string::npos) << why;
        EXPECT_FALSE(fs::exists(path));
        continue;
      }
      edf.Add(0, std::vector<int32_t>(100, v));
      ASSERT_TRUE(edf.Close(err)) << err.str();
    }
    auto signals = vyra::test::ReadWithMne(path);
    ASSERT_EQ(signals.size(), 1u) << c.signal.label;
    ASSERT_EQ(signals[0].values.size(), 100u);
    EXPECT_NEAR(signals[0].values[50], v / 1000.0, 1e-7) << c.signal.label;
  }
}

// Comments fill the annotation room first: a padding note never takes a result's place.
TEST(HostToolEdf, APaddingNoteNeverDisplacesAComment) {
  VYRA_NEED_SAVE2GDF();
  namespace fs = std::filesystem;
  ScratchDir scratch;
  const std::string& dir = scratch.path;
  ASSERT_FALSE(dir.empty());
  std::ostringstream err;
  {
    EdfRecording edf;
    std::string why;
    ASSERT_TRUE(edf.Open(dir + "/n.edf", {{"A", "V", 0, 100, 0}, {"B", "V", 0, 100, 0}}, 20000, {}, err, why)) << why;
    edf.Add(0, std::vector<int32_t>(50, 7));
    edf.Add(1, std::vector<int32_t>(20, 8));
    edf.Annotate(0.1, "Systolic BP = 120 mmHg");
    edf.Annotate(0.2, "Diastolic BP = 80 mmHg");
    ASSERT_TRUE(edf.Close(err)) << err.str();
    EXPECT_EQ(edf.Records(), 1u);
  }
  auto f = vyra::test::ReadWithBiosig(dir + "/n.edf", dir);
  ASSERT_EQ(f.events.size(), 2u);
  EXPECT_EQ(f.events[0].text, "Systolic BP = 120 mmHg");
  EXPECT_EQ(f.events[1].text, "Diastolic BP = 80 mmHg");
  EXPECT_NE(err.str().find("no room for the padding note"), std::string::npos) << err.str();
}

TEST(HostToolEdf, HeaderTextsAreAsciiInTheUsualSpellings) {
  EXPECT_EQ(EdfAscii("\xC2\xB5L"), "uL");
  EXPECT_EQ(EdfAscii("\xC2\xB0" "C"), "degC");
  EXPECT_EQ(EdfAscii("cmH\xE2\x82\x82" "O"), "cmH2O");
  EXPECT_EQ(EdfAscii("Instant' CO\xE2\x82\x82"), "Instant' CO2");
  EXPECT_EQ(EdfAscii("a\xE2\x82\xAC" "b\tc"), "a_b c");
  // Annotation texts are cut whole characters at a time.
  EXPECT_EQ(EdfAnnotationText(std::string(39, 'x') + "\xC2\xB5"), std::string(39, 'x'));
  EXPECT_EQ(EdfAnnotationText("short \xC2\xB5"), "short \xC2\xB5");
}

TEST(HostToolPlot, MarksEveryCommentAndLabelsItOnItsChannel) {
  std::vector<Comment> comments(2);
  comments[0] = {1, "VPR", 250, 0, 5.0, "Systolic BP = 121 mmHg"};
  comments[1] = {-1, "", 0, 0, 1.5, "it's cut"};
  auto script = GnuplotScript("/o/d'x.csv", "/o/p.png", {"time_s", "HR (bpm)", "VPR (mmHg)"}, comments, 4.0);
  // Both panels carry both lines; each label appears once, the unplaced one on the first panel.
  size_t arrows = 0;
  for (size_t at = script.find("\nset arrow"); at != std::string::npos; at = script.find("\nset arrow", at + 1)) ++arrows;
  EXPECT_EQ(arrows, 4u);
  size_t systolic = script.find("set label 'Systolic BP = 121 mmHg'");
  size_t cut = script.find("set label 'it''s cut'");
  ASSERT_NE(systolic, std::string::npos);
  ASSERT_NE(cut, std::string::npos);
  EXPECT_LT(cut, script.find("set ylabel 'HR (bpm)'"));
  EXPECT_GT(systolic, script.find("set ylabel 'HR (bpm)'"));
  EXPECT_NE(script.find("plot '/o/d''x.csv' using 1:3"), std::string::npos);
  // A comment past the last row still shows: the axis reaches it.
  EXPECT_NE(script.find("set xrange [0:5.000000]"), std::string::npos);
}

// The walk the plug-in makes to post a comment, with every reference given back.
TEST(HostToolRecording, AnswersThePluginsWalkAndQueuesComments) {
  HostRecording rec({"systol", "O-Cuff", "VPR"}, 0.02);
  auto* proxy = static_cast<IHostControllingProxy*>(rec.Proxy());
  IUnknownBase* object = nullptr;
  ASSERT_EQ(proxy->GetHostObject(&object), 0);
  void* p = nullptr;
  EXPECT_LT(object->QueryInterface(kIID_IHostDocument, &p), 0);
  EXPECT_EQ(p, nullptr);
  ASSERT_EQ(object->QueryInterface(kIID_IHostApplication, &p), 0);
  object->Release();
  auto* app = static_cast<IHostApplication*>(p);
  IUnknownBase* docObject = nullptr;
  ASSERT_EQ(app->GetActiveDocument(&docObject), 0);
  ASSERT_EQ(docObject->QueryInterface(kIID_IHostDocument, &p), 0);
  docObject->Release();
  app->Release();
  auto* doc = static_cast<IHostDocument*>(p);
  IRecordingData* data = nullptr;
  ASSERT_EQ(doc->GetRecordingData(0, &data), 0);
  ASSERT_EQ(data->QueryInterface(kIID_IRecordingComments, &p), 0);
  auto* comments = static_cast<IRecordingComments*>(p);

  int32_t count = 0, records = 0;
  double interval = 1.0;
  const char16_t* title = nullptr;
  EXPECT_EQ(data->GetChannelCount(0, &count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(data->GetChannelTitle(kChannelTitleFlags, 2, 0, &title), 0);
  EXPECT_EQ(std::u16string(title), u"VPR");
  EXPECT_LT(data->GetChannelTitle(kChannelTitleFlags, 3, 0, &title), 0);
  EXPECT_EQ(data->GetRecordCount(0, &records), 0);
  EXPECT_EQ(records, 1);
  EXPECT_EQ(data->GetSampleInterval(0, 0, &interval), 0);
  EXPECT_DOUBLE_EQ(interval, 0.02);

  // Comments come from the device's reader thread.
  std::thread reader([&] {
    int32_t at[2] = {250, 0};
    comments->AddComment(2, at, u"Systolic BP = 121 mmHg", 0);
    int32_t unplaced[2] = {10, 0};
    comments->AddComment(-1, unplaced, u"\u00b5 note", 0);
  });
  reader.join();
  EXPECT_LT(comments->AddComment(0, nullptr, u"x", 0), 0);
  auto got = rec.TakeComments();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "Systolic BP = 121 mmHg");
  EXPECT_EQ(got[0].channelName, "VPR");
  EXPECT_DOUBLE_EQ(got[0].seconds, 5.0);
  EXPECT_EQ(got[1].text, "\xc2\xb5 note");
  EXPECT_EQ(got[1].channelName, "");
  EXPECT_TRUE(rec.TakeComments().empty());

  EXPECT_GT(rec.OutstandingReferences(), 0);
  comments->Release();
  data->Release();
  doc->Release();
  EXPECT_EQ(rec.OutstandingReferences(), 0);
}

TEST(HostToolRecording, TextConversionRoundTripsAndReplacesBrokenSequences) {
  const std::string text = "mmHg \xc2\xb5l \xe2\x82\xac \xf0\x9f\x98\x80";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text).c_str()), text);
  EXPECT_EQ(Utf8ToUtf16("a\xff" "b\xc2"), u"a\uFFFDb\uFFFD");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xef\xbf\xbd" "b");
}

}  // namespace
}  // namespace vyra::host
