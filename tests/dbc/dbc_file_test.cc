#include "dbc/dbc_file.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "log/log.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

struct Parsed {
  bool ok = false;
  std::string error;
  std::vector<std::string> warnings;  // after "W DBC file t.dbc: "; other lines start with '?'
  DbcFile file;
};

Parsed parse(const std::string& text) {
  Parsed p;
  SsoString lines, error;
  log_capture(&lines);
  p.ok = dbc_parse(text.data(), text.size(), "t.dbc", &p.file, &error);
  log_capture(nullptr);
  p.error = error.c_str();
  std::istringstream in(std::string(lines.c_str(), lines.size()));
  const std::string head = " W DBC file t.dbc: ";
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(head);
    p.warnings.push_back(at == std::string::npos ? "?" + line : line.substr(at + head.size()));
  }
  return p;
}

// One line per message, "name id size [j1939]:", then its signals, scalings to 17 digits.
std::string describe(const DbcFile& file) {
  std::string out;
  char text[256];
  for (const DbcMessage& m : file.messages) {
    std::snprintf(text, sizeof(text), "%s %X %u%s:", m.name.c_str(), m.id, m.size,
                  m.j1939 ? " j1939" : "");
    out += text;
    for (const DbcSignal& s : m.signals) {
      std::snprintf(text, sizeof(text), " %s %u|%u@%c%c (%.17g,%.17g) \"%s\"%c%s", s.name.c_str(),
                    s.start_bit, s.length, s.little_endian ? '1' : '0', s.is_signed ? '-' : '+',
                    s.factor, s.offset, s.unit.c_str(), "?fd"[s.value_type],
                    s.is_multiplexor ? "M" : "");
      out += text;
      if (s.multiplexor >= 0) out += '<' + std::to_string(s.multiplexor);
      for (const DbcMuxRange& r : s.selectors) {
        out += '=' + std::to_string(r.low) + '-' + std::to_string(r.high);
      }
    }
    out += "\n";
  }
  return out;
}

TEST(DbcFileTest, ReadsTheGrammarSkipsOrKeepsFlawsAndFailsOnDamage) {
  struct Case {
    std::string text;
    std::string outcome;  // what the reader kept, or "! " and the error
    std::vector<std::string> warnings = {};
  };
  const std::string h =
      "VERSION \"1\"\n\nNS_ :\n\tNS_DESC_\n\tCM_\n\tBA_DEF_\n\nBS_:\n\nBU_: A B\n";
  const std::string v = "VERSION \"\"\n", b = "BO_ 1 M: 8 A\n", m = v + b;
  auto sig = [](const char* name_mux, const char* layout = "0|8@1+") {
    return std::string(" SG_ ") + name_mux + " : " + layout + " (1,0) [0|0] \"\"\n";
  };
  const Case cases[] = {
      // Every keyword, skipped where decoding does not need it.
      {h + "VAL_TABLE_ Tab 1 \"on\" 0 \"off\" ;\n"
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
      // Numbers as strtod reads them, units with ';' and '"', value types.
      {h + "BO_ 2364540158 Ext: 64 A\n SG_ a : 7|32@1- (1E-07,+3) [-1e+38|3.4E+038] \"a;b\"\n"
           " SG_ b : 63|64@0+ (-0.5,.25) [0|0] \"\\\"x\\\"\" A\n"
           " SG_ c : 100|1@1+ (1,0) [0|1] \"\"\nSIG_VALTYPE_ 2364540158 a : 1;\n"
           "SIG_VALTYPE_ 2364540158 b : 2;\nSIG_VALTYPE_ 2364540158 c : 0;\n",
       "Ext 8CF004FE 64: a 7|32@1- (9.9999999999999995e-08,3) \"a;b\"f "
       "b 63|64@0+ (-0.5,0.25) \"\"x\"\"d c 100|1@1+ (1,0) \"\"?\n"},
      // Windows-1252 text becomes UTF-8; valid UTF-8 stays as it is.
      {h + "BO_ 1 M\xe4: 8 A\n SG_ T : 0|8@1+ (1,0) [0|0] \"\260C\x80\"\n",
       "Mä 1 8: T 0|8@1+ (1,0) \"°C€\"?\n"},
      {h + "BO_ 1 M: 8 A\n SG_ T : 0|8@1+ (1,0) [0|0] \"°C\"\n", "M 1 8: T 0|8@1+ (1,0) \"°C\"?\n"},
      // Byte order mark, CR LF, // comments, ';' after SG_, no transmitter or receivers.
      {"\xef\xbb\xbfVERSION \"\"\r\n// note\r\nBO_ 1 M: 8 // x\r\n SG_ T : 0|8@1+ (1,0) [0|0] "
       "\"\";\r\n",
       "M 1 8: T 0|8@1+ (1,0) \"\"?\n"},
      // Multiplexing: M, mN, mNM and SG_MUL_VAL_ ranges, which take precedence.
      {h + "BO_ 200 Mux: 8 A\n SG_ P : 56|8@1+ (1,0) [0|0] \"\" A\n"
           " SG_ S M : 0|8@1+ (1,0) [0|0] \"\" A\n SG_ X m3 : 8|8@1+ (1,0) [0|0] \"\" A\n"
           " SG_ Y m1M : 16|8@1+ (1,0) [0|0] \"\" A\n SG_ Z m9 : 24|8@1+ (1,0) [0|0] \"\" A\n"
           "SG_MUL_VAL_ 200 Z Y 2-4, 7-7;\nSG_MUL_VAL_ 200 Y S 1-1;\n",
       "Mux C8 8: P 56|8@1+ (1,0) \"\"? S 0|8@1+ (1,0) \"\"?M X 8|8@1+ (1,0) \"\"?<1=3-3 "
       "Y 16|8@1+ (1,0) \"\"?M<1=1-1 Z 24|8@1+ (1,0) \"\"?<3=2-4=7-7\n"},
      // J1939 by the database attribute (extended ids only), by VFrameFormat and by its default.
      {h + "BA_DEF_ \"ProtocolType\" STRING ;\nBO_ 2566844926 E: 8 A\nBO_ 100 S: 8 A\n"
           "BA_ \"ProtocolType\" \"J1939\";\n",
       "E 98FEF1FE 8 j1939:\nS 64 8:\n"},
      {h + "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\","
           "\"J1939PG\";\nBA_DEF_DEF_ \"VFrameFormat\" \"J1939PG\";\nBO_ 2566844926 D: 8 A\n"
           "BO_ 2566844927 X: 8 A\nBO_ 2566844928 J: 8 A\nBO_ 100 S: 8 A\n"
           "BA_ \"VFrameFormat\" BO_ 2566844927 1;\nBA_ \"VFrameFormat\" BO_ 2566844928 3;\n"
           "BA_ \"VFrameFormat\" BO_ 100 3;\n",
       "D 98FEF1FE 8 j1939:\nX 98FEF1FF 8:\nJ 98FEF200 8 j1939:\nS 64 8:\n"},
      {h + "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\";\n"
           "BA_DEF_DEF_ \"VFrameFormat\" \"ExtendedCAN\";\nBO_ 2566844926 D: 8 A\n",
       "D 98FEF1FE 8:\n"},
      // Flaws: the message or signal is skipped, or kept, with a warning.
      {v + "BO_ 3221225472 P: 8 A\n" + sig("a") + "SIG_VALTYPE_ 3221225472 a : 1;\n",
       "",
       {"line 2: message P (0xC0000000) skipped: a pseudo-message for signals without a message"}},
      {v + "BO_ 1073741825 B: 8 A\nBO_ 2048 S: 8 A\nBO_ 2684354560 E: 8 A\n",
       "",
       {"line 2: message B (0x40000001) skipped: bit 30 of the id is set",
        "line 3: message S (0x800) skipped: a standard id above 0x7FF",
        "line 4: message E (0xA0000000) skipped: an extended id of more than 29 bits"}},
      {v + "BO_ 5 A: 8 A\nBO_ 5 B: 8 A\n" + sig("b"),
       "A 5 8:\n",
       {"line 3: message B (0x5) skipped: its id is already defined on line 2"}},
      {m + sig("z", "0|0@1+") + sig("w", "0|65@1+") + sig("f", "0|16@1+") + sig("d", "0|32@1+") +
           sig("t") + sig("t") +
           "SIG_VALTYPE_ 1 f : 1;\nSIG_VALTYPE_ 1 d : 2;\nSIG_VALTYPE_ 1 t : 3;\n",
       "M 1 8:\n",
       {"line 3: signal M.z skipped: 0 bits", "line 4: signal M.w skipped: 65 bits",
        "line 5: signal M.f skipped: SIG_VALTYPE_ 1 with 16 bits",
        "line 6: signal M.d skipped: SIG_VALTYPE_ 2 with 32 bits",
        "line 7: signal M.t skipped: SIG_VALTYPE_ 3 with 8 bits",
        "line 8: signal M.t skipped: a second signal of that name"}},
      {m + sig("a", "500|13@1+") + sig("b", "500|12@1+") + sig("c", "511|9@0+") +
           sig("d", "511|8@0+") + sig("e", "504|2@0+") + sig("f", "56|8@0+") + sig("g", "63|8@0+"),
       "M 1 8: b 500|12@1+ (1,0) \"\"? d 511|8@0+ (1,0) \"\"? f 56|8@0+ (1,0) \"\"? "
       "g 63|8@0+ (1,0) \"\"?\n",
       {"line 3: signal M.a skipped: bits beyond 64 bytes",
        "line 4: signal M.b kept: outside the 8-byte message",
        "line 5: signal M.c skipped: bits beyond 64 bytes",
        "line 6: signal M.d kept: outside the 8-byte message",
        "line 7: signal M.e skipped: bits beyond 64 bytes",
        "line 8: signal M.f kept: outside the 8-byte message"}},
      {m + sig("s m") + sig("x m1") + "SG_MUL_VAL_ 1 x s 1-1;\nBO_ 2 N: 8 A\n" + sig("y m1") +
           sig("z m2") + "SG_MUL_VAL_ 2 z Q 2-2;\n",
       "M 1 8:\nN 2 8:\n",
       {"line 3: signal M.s skipped: m without a value",
        "line 4: signal M.x skipped: multiplexor s skipped",
        "line 7: signal N.y skipped: multiplexor M missing",
        "line 8: signal N.z skipped: multiplexor Q missing"}},
      {m + sig("a M") + sig("b M") + sig("c m1") + "BO_ 2 N: 8 A\n" + sig("a m1M") + sig("b m2M") +
           sig("c m3") + "SG_MUL_VAL_ 2 a b 1-1;\nSG_MUL_VAL_ 2 b a 2-2;\nSG_MUL_VAL_ 2 c b 3-3;\n",
       "M 1 8: a 0|8@1+ (1,0) \"\"?M b 0|8@1+ (1,0) \"\"?M\nN 2 8:\n",
       {"line 5: signal M.c skipped: several multiplexors M and no SG_MUL_VAL_",
        "line 7: signal N.a skipped: multiplexor cycle",
        "line 8: signal N.b skipped: multiplexor cycle",
        "line 9: signal N.c skipped: multiplexor b skipped"}},
      {m + sig("a", "0|0@1+") + sig("S M") + sig("x m1"),
       "M 1 8: S 0|8@1+ (1,0) \"\"?M x 0|8@1+ (1,0) \"\"?<0=1-1\n",
       {"line 3: signal M.a skipped: 0 bits"}},
      // Flaws in statements: skipped or taken as they are, with a warning.
      {v + "CM_ \"c\"\n" + b + "CM_ \"d\";\n" + sig("x") +
           "SIG_VALTYPE_ 1 y : 1\nFOO_ 1 \"x;\" 2;\nBAR_ 1\n2\nBA_ \"GenMsgCycleTime\" BO_ x y z;\n"
           "12 x;\nSIG_VALTYPE_ 9 x : 1;\nSIG_VALTYPE_ 1 y : 1;\nSG_MUL_VAL_ 1 y x 1-1;\n"
           "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"A\",\"J1939PG\";\nBA_ \"VFrameFormat\" BO_ 9 1;\n"
           "BA_ \"VFrameFormat\" BO_ 1 7;\nSIG_VALTYPE_ 1 y : 1",
       "M 1 8:\n",
       {"line 2: CM_ without ';' accepted", "line 5: signal x skipped: not inside a message",
        "line 6: SIG_VALTYPE_ without ';' accepted", "line 7: unknown keyword FOO_ skipped",
        "line 8: unknown keyword BAR_ skipped", "line 11: unexpected number skipped",
        "line 18: SIG_VALTYPE_ without ';' accepted",
        "line 6: SIG_VALTYPE_ ignored: message M has no signal y",
        "line 12: SIG_VALTYPE_ ignored: no message 9",
        "line 13: SIG_VALTYPE_ ignored: message M has no signal y",
        "line 18: SIG_VALTYPE_ ignored: message M has no signal y",
        "line 14: SG_MUL_VAL_ ignored: message M has no signal y",
        "line 16: BA_ \"VFrameFormat\" ignored: no message 9",
        "line 17: value 7 of \"VFrameFormat\" ignored: not an index of its values"}},
      // Damage that decoding cannot go past, and what is not a DBC file at all.
      {v + "BO_ 100 M 8 A\n", "! line 2: expected ':' after the message name"},
      {v + "BO_ 4294967296 M: 8 A\n", "! line 2: expected the message id after BO_"},
      {m + " SG_ S 0|8@1+ (1,0) [0|0] \"\"\n", "! line 3: expected ':' after the signal name"},
      {m + sig("S m2x"), "! line 3: expected ':' after the signal name"},
      {m + sig("S", "0|8@2+"), "! line 3: expected the byte order 0 or 1 after '@'"},
      {m + " SG_ S : 0|8@1+ (1,", "! line 3: expected the offset"},
      {m + " SG_ S : 0|8@1+ (1,0) [0|0] \"\" A 5\n",
       "! line 3: unexpected text after the signal's receivers"},
      {v + "BU_: A\nCM_ SG_ 1 S \"abc\ndef\n", "! line 3: unterminated string"},
      {v + "SIG_VALTYPE_ 1 S : x;\n", "! line 2: expected the value type"},
      {v + "SIG_VALTYPE_ 1 S : 1 2;\n", "! line 2: expected ';' after SIG_VALTYPE_"},
      {v + "SG_MUL_VAL_ 1 S M 0 0;\n", "! line 2: expected '-' in the value range"},
      {v + "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"a\" x;\n", "! line 2: expected ';' after BA_DEF_"},
      {v + "BA_DEF_ BO_ \"VFrameFormat\" LIST;\n", "! line 2: expected the attribute's type"},
      {v + "BA_ \"ProtocolType\" ;\n", "! line 2: expected the attribute value"},
      {v + "BA_DEF_DEF_ \"VFrameFormat\"", "! line 2: expected the attribute value"},
      {"", "! line 1: not a DBC file"},
      {std::string("VERSION \"\"\n\n\0", 14), "! line 3: not a DBC file"},
      {"hello world\nBO_ 1 M: 8 A\n", "! line 1: not a DBC file"},
      {"\n\n\"VERSION\"", "! line 3: not a DBC file"},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.text);
    EXPECT_EQ(p.ok ? describe(p.file) : "! " + p.error, c.outcome) << c.text;
    EXPECT_EQ(p.warnings, c.warnings) << c.text;
  }
}

TEST(DbcFileTest, LoadsTheSampleFilesWithTheirFlaws) {
  // Path; messages, signals and warnings; the first and the last warning.
  const std::tuple<const char*, uint64_t, uint64_t, size_t, std::string, std::string> cases[] = {
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
      {"real-world/dbc/toyota_radar_dsu_tssp.dbc", 19, 114, 6, "line 138: CM_ without ';' accepted",
       "line 186: CM_ without ';' accepted"},
  };
  for (const auto& [path, messages, signals, warnings, first, last] : cases) {
    Parsed p = parse(read_file(std::string(QUARROW_TEST_DATA "/interop/signals/") + path));
    ASSERT_TRUE(p.ok) << path << ": " << p.error;
    uint64_t kept = 0;
    for (const DbcMessage& m : p.file.messages) kept += m.signals.size();
    EXPECT_EQ(p.file.messages.size(), messages) << path;
    EXPECT_EQ(kept, signals) << path;
    ASSERT_EQ(p.warnings.size(), warnings) << path;
    EXPECT_EQ(warnings > 0 ? p.warnings.front() : "", first) << path;
    EXPECT_EQ(warnings > 1 ? p.warnings.back() : "", last) << path;
    // vw_pq: the four signals that MO2_Mp_Code multiplexes go with it.
    if (warnings == 19) {
      EXPECT_EQ(p.warnings[4],
                "line 398: signal Motor_2.MO2_Motor_Code skipped: multiplexor MO2_Mp_Code skipped");
    }
  }
}

}  // namespace
}  // namespace quarrow::test
