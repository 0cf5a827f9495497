// The trace of whole operations, line by line, under a fixed clock: the step
// texts, their forms, their values and their order.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fake_port.h"
#include "link/frame.h"
#include "printer/operations.h"
#include "scratch_dir.h"
#include "trace/trace.h"
#include "trace_capture.h"

using namespace vexolant;

namespace {

const std::string kStamp = "\n2026/03/04 09:05:07.004 ";

std::string Line(const std::string& text) {
  return kStamp + text;
}
std::string Value(const std::string& text, const std::string& value) {
  return kStamp + text + " = " + value;
}
std::string Error(const std::string& text, int32_t code) {
  return kStamp + "ERROR: " + text + " [" + std::to_string(code) + "]";
}
std::string AsText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class OperationTrace : public TraceCapture {
 protected:
  void SetUp() override {
    TraceCapture::SetUp();
    SwitchOn();
  }
  void ExpectLines(const std::vector<std::string>& lines) {
    std::string expected;
    for (const std::string& line : lines) expected += line;
    EXPECT_EQ(Written(), expected);
  }
  int32_t status_ = -1;
  int32_t error_ = -1;
};

TEST_F(OperationTrace, SendCmdRefusedAfterANak) {
  FakePort port;
  port.Reply({ASCII_NAK}).Reply({ASCII_ENQ}).Silence().Reply(StatusFrame({0x40, 0x40}));
  EXPECT_EQ(SendCmd(port, &status_, &error_, "abc"), 1);
  const std::string salida = AsText(Frame("abc"));
  ExpectLines({
      Line("** SendCmd ** "),
      Value("Salida", salida),
      Line("paso 1"),
      Line("paso 4"),
      Value("Salida", salida),
      Line("paso 1"),
      Line("paso 5"),
      Line("** ReadFpOrignalStatus ** "),
      Line("paso r1"),
      Error("CheckFprinter: Timeout Ciclo", 0),
      Line("CheckFprinter: OK"),
      Line("paso cmderror y bretstatus verdadero y va a check status"),
  });
}

TEST_F(OperationTrace, SendCmdRefusedWithoutAStatusFrame) {
  FakePort port;
  port.Reply({ASCII_ENQ}).Reply({ASCII_ACK});
  EXPECT_EQ(SendCmd(port, &status_, &error_, ""), 0);
  ExpectLines({
      Line("** SendCmd ** "),
      Value("Salida", AsText(Bytes({2, 3, 3}))),
      Line("paso 1"),
      Line("paso 5"),
      Line("** ReadFpOrignalStatus ** "),
      Line("paso r1"),
      Error("CheckFprinter: Answer or LRC Error", 0),
      Error("SendCmd: Comunication", 144),
      Line("paso cmderror y bret falso"),
  });
}

TEST_F(OperationTrace, SendCmdFailures) {
  struct Case {
    const char* name;
    std::function<void(FakePort&)> script;
    std::vector<std::string> lines;
  } cases[] = {
      {"failed purge",
       [](FakePort& p) { p.FailPurge(5); },
       {Line("** SendCmd ** "), Error("CheckFprinter", 5),
        Error("CheckFprinter: Lectura o Escritura", 5)}},
      {"failed write",
       [](FakePort& p) { p.FailWrite(0, 6); },
       {Line("** SendCmd ** "),
        Value("Salida",
              "\x02"
              "A\x03"
              "B"),
        Error("SendCmd: Output1", 6), Error("CheckFprinter: Lectura o Escritura", 6)}},
      {"failed ACK after ENQ",
       [](FakePort& p) {
         p.Reply({ASCII_ENQ});
         p.FailWrite(1, 7);
       },
       {Line("** SendCmd ** "),
        Value("Salida",
              "\x02"
              "A\x03"
              "B"),
        Line("paso 1"), Line("paso 5"), Error("SendCmd: Output2", 7),
        Error("CheckFprinter: Lectura o Escritura", 7)}},
      {"invalid reply",
       [](FakePort& p) { p.Reply(Bytes({0x41})); },
       {Line("** SendCmd ** "),
        Value("Salida",
              "\x02"
              "A\x03"
              "B"),
        Line("paso 1"), Line("paso 2"), Error("CheckFprinter: Answer or LRC Error", 0)}},
      {"unexpected length",
       [](FakePort& p) { p.Reply(Frame("xyz")); },
       {Line("** SendCmd ** "),
        Value("Salida",
              "\x02"
              "A\x03"
              "B"),
        Line("paso 1"), Line("paso 6"), Error("CheckFprinter: Longitud", 6),
        Error("CheckFprinter: Answer or LRC Error", 0)}},
      {"read error",
       [](FakePort& p) { p.ReadError(8); },
       {Line("** SendCmd ** "),
        Value("Salida",
              "\x02"
              "A\x03"
              "B"),
        Error("SendCmd: Input", 8), Error("CheckFprinter: Lectura o Escritura", 8)}},
      {"accepted",
       [](FakePort& p) { p.Reply({ASCII_ACK}); },
       {Line("** SendCmd ** "),
        Value("Salida",
              "\x02"
              "A\x03"
              "B"),
        Line("paso 1"), Line("paso ASCII_ACK"), Line("CheckFprinter: OK")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    FakePort port;
    c.script(port);
    SendCmd(port, &status_, &error_, "A");
    ExpectLines(c.lines);
  }
}

TEST_F(OperationTrace, CheckFprinterSilent) {
  FakePort port;
  EXPECT_EQ(CheckFprinter(port), 0);
  ExpectLines({
      Line("** CheckFprinter: Prueba de Impresora** "),
      Error("CheckFprinter: Timeout Ciclo", 0),
      Error("CheckFprinter: Timeout Ciclo", 1),
      Error("CheckFprinter: Timeout Ciclo", 2),
      Error("CheckFprinter: bNotAnswer_Error", 0),
  });
}

TEST_F(OperationTrace, ReadFpStatusWithALongFrame) {
  FakePort port;
  port.Reply({ASCII_NAK}).Reply(StatusFrame({0x40, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReadFpStatus(port, &status_, &error_), 1);
  ExpectLines({
      Line("** ReadFpOrignalStatus ** "),
      Line("paso r1"),
      Line("CheckFprinter:OK"),
      Line("Paso por CheckStatus"),
  });
}

TEST_F(OperationTrace, ReadFpStatusWriteAndReadFailures) {
  {
    FakePort port;
    port.FailWrite(0, 3);
    ReadFpStatus(port, &status_, &error_);
  }
  {
    FakePort port;
    port.ReadError(4);
    CheckFprinter(port);
  }
  ExpectLines({
      Line("** ReadFpOrignalStatus ** "),
      Line("paso r1"),
      Error("CheckFprinter: Output", 3),
      Error("CheckFprinter: Lectura o Escritura", 3),
      Line("** CheckFprinter: Prueba de Impresora** "),
      Error("CheckFprinter:", 4),
      Error("CheckFprinter: Lectura o Escritura", 4),
  });
}

TEST_F(OperationTrace, UploadStatusCmdAfterAnEmptyRead) {
  ScratchDir dir;
  const std::string path = dir.File("Status.txt");
  FakePort port;
  port.Silence().Reply(Frame("ok"));
  EXPECT_EQ(UploadStatusCmd(port, &status_, &error_, "S", path.c_str()), 1);
  ExpectLines({
      Line("** UploadStatusCmd ** "),
      Value("Archivo creado ", path),
      Value("Salida", AsText(Frame("S"))),
      Value("Ciclo ", "0"),
      Value("Salida bloque ", ""),
      Line("Paso 3 "),
      Value("Ciclo ", "1"),
      Value("Salida bloque ", AsText(Frame("ok"))),
      Line("Paso 3 "),
      Line("Paso 4 "),
      Line("Paso 6 "),
      Line("Paso 7 "),
      Line("Paso 8 "),
      Line("Paso 9 "),
  });
}

TEST_F(OperationTrace, UploadStatusCmdFailures) {
  ScratchDir dir;
  const std::string path = dir.File("Status.txt");
  {
    FakePort port;
    port.FailPurge(2);
    UploadStatusCmd(port, &status_, &error_, "S", path.c_str());
  }
  {
    FakePort port;
    port.FailWrite(0, 3);
    UploadStatusCmd(port, &status_, &error_, "S", path.c_str());
  }
  {
    FakePort port;
    port.Reply(Bytes({2, 'a'})).ReadError(4);
    UploadStatusCmd(port, &status_, &error_, "S", path.c_str());
  }
  const std::string salida = AsText(Frame("S"));
  ExpectLines({
      Line("** UploadStatusCmd ** "),
      Value("Archivo creado ", path),
      Error("UploadReportCmd", 2),
      Line("Paso 9 "),
      Line("** UploadStatusCmd ** "),
      Value("Archivo creado ", path),
      Value("Salida", salida),
      Error("UploadReportCmd: Output1", 3),
      Line("Paso 8 "),
      Line("Paso 9 "),
      Line("** UploadStatusCmd ** "),
      Value("Archivo creado ", path),
      Value("Salida", salida),
      Value("Ciclo ", "0"),
      Value("Salida bloque ",
            "\x02"
            "a"),
      Error("SendCmd: Input2", 4),
      Error("UploadReportCmd: Input3", 4),
      Line("Paso 7 "),
      Line("Paso 8 "),
      Line("Paso 9 "),
  });
}

TEST_F(OperationTrace, UploadReportCmdTracesNoOutcome) {
  ScratchDir dir;
  const std::string path = dir.File("Reporte.txt");
  {
    FakePort port;
    port.Silence().Reply({ASCII_ENQ}).Reply(Frame("L1")).ReadError(9);
    UploadReportCmd(port, &status_, &error_, "R", path.c_str());
  }
  {
    FakePort port;
    port.Reply({ASCII_ENQ}).ReadError(10);
    UploadReportCmd(port, &status_, &error_, "R", path.c_str());
  }
  ExpectLines({
      Line("** UploadReportCmd ** "),
      Value("Archivo creado ", path),
      Error("CheckFprinter: Timeout Ciclo", 0),
      Error("SendCmd: Input", 9),
      Line("** UploadReportCmd ** "),
      Value("Archivo creado ", path),
      Error("SendCmd: Input2", 10),
      Error("UploadReportCmd: Input3", 10),
  });
}

TEST_F(OperationTrace, SendFileCmdCountsEachCommand) {
  ScratchDir dir;
  const std::string path = dir.File("cmds.txt");
  WriteBytes(path, "A\n");
  FakePort port;
  port.Reply({ASCII_ACK});
  EXPECT_EQ(SendFileCmd(port, &status_, &error_, path.c_str()), 1);
  ExpectLines({
      Line("** SendFileCmd ** "),
      Line("** SendCmd ** "),
      Value("Salida",
            "\x02"
            "A\x03"
            "B"),
      Line("paso 1"),
      Line("paso ASCII_ACK"),
      Line("CheckFprinter: OK"),
      Value("Enviando comando", "1"),
  });
}

}  // namespace
