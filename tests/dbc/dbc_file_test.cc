#include "dbc/dbc_file.h"

#include <gtest/gtest.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace quarrow::test {
namespace {

struct Parsed {
  bool ok = false;
  std::string error;
  std::vector<std::string> warnings;  // the messages after the level letter
  DbcFile file;
};

Parsed parse(const std::string& text) {
  Parsed p;
  SsoString lines;
  SsoString error;
  log_capture(&lines);
  p.ok = dbc_parse(text.data(), text.size(), "t.dbc", &p.file, &error);
  log_capture(nullptr);
  p.error = error.c_str();
  std::istringstream in(lines.c_str());
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(" W ");
    p.warnings.push_back(at == std::string::npos ? "?" + line : line.substr(at + 3));
  }
  return p;
}

std::string shortest(double v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof(buf), v).ptr);
}

// One line per message, "name id size [j1939]:", then its signals.
std::string describe(const DbcFile& file) {
  std::string out;
  for (const DbcMessage& m : file.messages) {
    char text[128];
    std::snprintf(text, sizeof(text), " %X %u%s:", m.id, m.size, m.j1939 ? " j1939" : "");
    out += m.name.c_str();
    out += text;
    for (const DbcSignal& s : m.signals) {
      char text[128];
      std::snprintf(text, sizeof(text), " %s %u|%u@%c%c (", s.name.c_str(), s.start_bit, s.length,
                    s.little_endian ? '1' : '0', s.is_signed ? '-' : '+');
      out += text;
      out += shortest(s.factor) + ",";
      out += shortest(s.offset) + ") \"";
      out += s.unit.c_str();
      out += "\"";
      out += "?fd"[s.value_type];
      if (s.is_multiplexor) out += "M";
      if (s.multiplexor >= 0) out += '<' + std::to_string(s.multiplexor);
      for (const DbcMuxRange& r : s.selectors) {
        std::snprintf(text, sizeof(text), "=%llu-%llu", static_cast<unsigned long long>(r.low),
                      static_cast<unsigned long long>(r.high));
        out += text;
      }
    }
    out += "\n";
  }
  return out;
}

const std::string kHead =
    "VERSION \"1\"\n\nNS_ :\n\tNS_DESC_\n\tCM_\n\tBA_DEF_\n\nBS_:\n\nBU_: A B\n";

TEST(DbcFileTest, ReadsTheWholeGrammar) {
  struct Case {
    const char* what;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"every keyword, skipped where decoding does not need it",
       kHead +
           "VAL_TABLE_ Tab 1 \"on\" 0 \"off\" ;\n"
           "BO_ 100 Msg: 8 A\n SG_ Speed : 0|16@1+ (0.5,-2) [0|100] \"km/h\" A,B\n"
           " SG_ Temp : 23|8@0- (1,0) [-128|127] \"\" Vector__XXX\n"
           "BO_TX_BU_ 100 : A,B;\nCM_ \"database\";\nCM_ BU_ A \"node\";\n"
           "CM_ SG_ 100 Speed \"a \\\"quoted\\\" comment\nover; lines\nBO_ 1 X: 8 A\";\n"
           "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 1000;\nBA_DEF_ \"DBName\" STRING ;\n"
           "BA_DEF_REL_ BU_SG_REL_ \"Rel\" INT 0 10;\nBA_DEF_DEF_ \"GenMsgCycleTime\" 0;\n"
           "BA_DEF_DEF_REL_ \"Rel\" 0;\nBA_ \"GenMsgCycleTime\" BO_ 100 10;\n"
           "BA_REL_ \"Rel\" BU_SG_REL_ A SG_ 100 Speed 3;\nVAL_ 100 Speed 0 \"stop\" 1 \"go\" ;\n"
           "SIG_GROUP_ 100 Grp 1 : Speed Temp;\n"
           "EV_ Env: 0 [0|100] \"V\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\n"
           "ENVVAR_DATA_ Env: 8;\nEV_DATA_ Env: 8;\n"
           "SGTYPE_ Type : 8@1+ (1,0) [0|255] \"\" 0, Tab;\nSIG_TYPE_REF_ 100 Temp : Type;\n"
           "SGTYPE_VAL_ Type 0 \"off\";\nBA_DEF_SGTYPE_ \"S\" INT 0 1;\n"
           "BA_SGTYPE_ \"S\" SGTYPE_ Type 1;\nSIGTYPE_VALTYPE_ Type : 0;\n"
           "CAT_DEF_ 1 Cat 0;\nCAT_ BO_ 100 1;\nFILTER 0 BO_ 100;\nBU_SG_REL_ A SG_ 100 Speed;\n"
           "BU_EV_REL_ A Env;\nBU_BO_REL_ A 100;\nNS_DESC_ x;\n",
       "Msg 64 8: Speed 0|16@1+ (0.5,-2) \"km/h\"? Temp 23|8@0- (1,0) \"\"?\n"},
      {"numbers as strtod reads them, units with ';' and '\"', value types",
       kHead + "BO_ 2364540158 Ext: 64 A\n SG_ a : 7|32@1- (1E-07,+3) [-1e+38|3.4E+038] \"a;b\"\n"
               " SG_ b : 63|64@0+ (-0.5,.25) [0|0] \"\\\"x\\\"\" A\n"
               " SG_ c : 100|1@1+ (1,0) [0|1] \"\"\nSIG_VALTYPE_ 2364540158 a : 1;\n"
               "SIG_VALTYPE_ 2364540158 b : 2;\nSIG_VALTYPE_ 2364540158 c : 0;\n",
       "Ext 8CF004FE 64: a 7|32@1- (1e-07,3) \"a;b\"f b 63|64@0+ (-0.5,0.25) \"\"x\"\"d "
       "c 100|1@1+ (1,0) \"\"?\n"},
      {"Windows-1252 text becomes UTF-8; valid UTF-8 stays as it is",
       kHead + "BO_ 1 M\xe4: 8 A\n SG_ T : 0|8@1+ (1,0) [0|0] \"\xb0"
               "C\x80\"\n",
       "M\xc3\xa4 1 8: T 0|8@1+ (1,0) \"\xc2\xb0"
       "C\xe2\x82\xac\"?\n"},
      {"",
       kHead + "BO_ 1 M: 8 A\n SG_ T : 0|8@1+ (1,0) [0|0] \"\xc2\xb0"
               "C\"\n",
       "M 1 8: T 0|8@1+ (1,0) \"\xc2\xb0"
       "C\"?\n"},
      {"byte order mark, CR LF, // comments, ';' after SG_, no transmitter or receivers",
       "\xef\xbb\xbfVERSION \"\"\r\n// note\r\nBO_ 1 M: 8 // x\r\n SG_ T : 0|8@1+ (1,0) [0|0] "
       "\"\";\r\n",
       "M 1 8: T 0|8@1+ (1,0) \"\"?\n"},
      {"multiplexing: M, mN, mNM and SG_MUL_VAL_ ranges, which take precedence",
       kHead + "BO_ 200 Mux: 8 A\n SG_ P : 56|8@1+ (1,0) [0|0] \"\" A\n"
               " SG_ S M : 0|8@1+ (1,0) [0|0] \"\" A\n SG_ X m3 : 8|8@1+ (1,0) [0|0] \"\" A\n"
               " SG_ Y m1M : 16|8@1+ (1,0) [0|0] \"\" A\n SG_ Z m9 : 24|8@1+ (1,0) [0|0] \"\" A\n"
               "SG_MUL_VAL_ 200 Z Y 2-4, 7-7;\nSG_MUL_VAL_ 200 Y S 1-1;\n",
       "Mux C8 8: P 56|8@1+ (1,0) \"\"? S 0|8@1+ (1,0) \"\"?M X 8|8@1+ (1,0) \"\"?<1=3-3 "
       "Y 16|8@1+ (1,0) \"\"?M<1=1-1 Z 24|8@1+ (1,0) \"\"?<3=2-4=7-7\n"},
      {"J1939 by the database attribute, for extended ids only",
       kHead + "BA_DEF_ \"ProtocolType\" STRING ;\nBO_ 2566844926 E: 8 A\nBO_ 100 S: 8 A\n"
               "BA_ \"ProtocolType\" \"J1939\";\n",
       "E 98FEF1FE 8 j1939:\nS 64 8:\n"},
      {"J1939 by VFrameFormat index and by its default",
       kHead + "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\","
               "\"J1939PG\";\nBA_DEF_DEF_ \"VFrameFormat\" \"J1939PG\";\nBO_ 2566844926 D: 8 A\n"
               "BO_ 2566844927 X: 8 A\nBO_ 2566844928 J: 8 A\nBO_ 100 S: 8 A\n"
               "BA_ \"VFrameFormat\" BO_ 2566844927 1;\nBA_ \"VFrameFormat\" BO_ 2566844928 3;\n"
               "BA_ \"VFrameFormat\" BO_ 100 3;\n",
       "D 98FEF1FE 8 j1939:\nX 98FEF1FF 8:\nJ 98FEF200 8 j1939:\nS 64 8:\n"},
      {"",
       kHead + "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\";\n"
               "BA_DEF_DEF_ \"VFrameFormat\" \"ExtendedCAN\";\nBO_ 2566844926 D: 8 A\n",
       "D 98FEF1FE 8:\n"},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.text);
    ASSERT_TRUE(p.ok) << c.what << ": " << p.error;
    EXPECT_EQ(describe(p.file), c.expected) << c.what;
    EXPECT_EQ(p.warnings, std::vector<std::string>()) << c.what;
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DbcFileTest, LoadsTheSampleFilesWithTheirFlaws) {
  struct Case {
    const char* path;
    uint64_t messages;
    uint64_t signals;
    size_t warnings;
    std::string first;  // warning, from "line"
    std::string last;
  };
  const std::string m2 = "signal Motor_2.MO2_";
  const std::string cm = " CM_ without ';' accepted";
  const Case cases[] = {
      {"dbc/all.dbc", 3, 4, 0, "", ""},
      {"dbc/bus2.dbc", 2, 3, 0, "", ""},
      {"dbc/mux_simple.dbc", 3, 16, 0, "", ""},
      {"dbc/std_ext.dbc", 6, 8, 0, "", ""},
      {"real-world/dbc/vw_pq.dbc", 86, 1326, 19,
       "line 394: signal Motor_2.MO2_Mp_Code skipped: m without a value",
       "line 566: signal Lenkhilfe_1.LH1_ECU_Temp kept: outside the 2-byte message"},
      {"real-world/dbc/mazda_3_2019.dbc", 59, 246, 1,
       "line 310: signal CAM_KEEP_ALIVE_1.NEW_SIGNAL_4 kept: outside the 8-byte message", ""},
      {"real-world/dbc/FORD_CADS.dbc", 80, 784, 1,
       "line 36: message INDEPENDENT_SIG_MSG (0x40000000) skipped: a pseudo-message for signals "
       "without a message",
       ""},
      {"real-world/dbc/toyota_radar_dsu_tssp.dbc", 19, 114, 6, "line 138:" + cm, "line 186:" + cm},
  };
  for (const Case& c : cases) {
    Parsed p = parse(read_file(std::string(QUARROW_TEST_DATA "/interop/signals/") + c.path));
    ASSERT_TRUE(p.ok) << c.path << ": " << p.error;
    uint64_t signals = 0;
    for (const DbcMessage& m : p.file.messages) signals += m.signals.size();
    EXPECT_EQ(p.file.messages.size(), c.messages) << c.path;
    EXPECT_EQ(signals, c.signals) << c.path;
    ASSERT_EQ(p.warnings.size(), c.warnings) << c.path;
    if (c.warnings == 0) continue;
    EXPECT_EQ(p.warnings.front(), "DBC file t.dbc: " + c.first) << c.path;
    if (c.warnings > 1) {
      EXPECT_EQ(p.warnings.back(), "DBC file t.dbc: " + c.last) << c.path;
    }
  }
  // vw_pq: the four signals that MO2_Mp_Code multiplexes go with it.
  Parsed vw = parse(read_file(QUARROW_TEST_DATA "/interop/signals/real-world/dbc/vw_pq.dbc"));
  ASSERT_EQ(vw.warnings.size(), 19u);
  EXPECT_EQ(vw.warnings[4], "DBC file t.dbc: line 398: " + m2 +
                                "Motor_Code skipped: multiplexor MO2_Mp_Code skipped");
}

}  // namespace
}  // namespace quarrow::test
