// TSerial over the recording fake: settings, the open and close sequences,
// transfers, break and modem lines, and error reporting.

#include <string>
#include <vector>

#include "SerialFixture.h"

namespace {

const Trace kOpenTrace = {"Open(COM1)",      "SetupComm(1024,1024)",  "SetCommState",
                          "SetCommTimeouts", "EscapeCommFunction(5)", "EscapeCommFunction(3)",
                          "SetCommMask(381)"};
const Trace kCloseTrace = {"PurgeComm(3)", "EscapeCommFunction(6)", "EscapeCommFunction(4)",
                           "SetCommMask(0)", "Close"};

Trace Join(Trace a, const Trace& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using Component = SerialFixture;

TEST_F(Component, StartsClosedWithItsDefaults) {
  EXPECT_FALSE(serial.Active());
  EXPECT_EQ(serial.Port(), 1);
  EXPECT_EQ(serial.Baudrate(), 9600);
  EXPECT_EQ(serial.Parity(), paNone);
  EXPECT_EQ(serial.DataBits(), d7bit);
  EXPECT_EQ(serial.StopBits(), st1bit);
  EXPECT_EQ(serial.RxQueueSize(), 1024);
  EXPECT_EQ(serial.TxQueueSize(), 1024);
  EXPECT_EQ(serial.FlowMode(), fcNone);
  EXPECT_TRUE(serial.CheckParity());
  EXPECT_EQ(serial.RxEventMode(), rxNormal);
  EXPECT_EQ(serial.MessageStartChar(), 2);
  EXPECT_EQ(serial.MessageEndChar(), 3);
  EXPECT_EQ(serial.MessageAppendCount(), 0);
  EXPECT_EQ(serial.NotifyErrors(), neDialog);
  EXPECT_EQ(serial.ErrorCode(), 0);
  EXPECT_FALSE(serial.BreakState());
  EXPECT_FALSE(serial.EventThreadStarted());
  EXPECT_TRUE(fake->Trace().empty());
}

TEST_F(Component, EnumerationOrdinals) {
  EXPECT_EQ(std::vector<int>({paNone, PaOdd, paEven, paMark, paSpace}),
            std::vector<int>({0, 1, 2, 3, 4}));
  EXPECT_EQ(std::vector<int>({d7bit, d8bit, st1bit, st2bit}), std::vector<int>({0, 1, 0, 1}));
  EXPECT_EQ(std::vector<int>({fcNone, fcRTS_CTS, fcDTR_DSR, fcXON_XOF}),
            std::vector<int>({0, 1, 2, 3}));
  EXPECT_EQ(std::vector<int>({rxNormal, rxMessage, neDialog, neEvent, neNone}),
            std::vector<int>({0, 1, 0, 1, 2}));
  EXPECT_EQ(std::vector<int>({msCTS, msDSR, msRLSD, osRTS, osDTR}),
            std::vector<int>({0, 1, 2, 0, 1}));
  EXPECT_EQ(TSerial::kEventMask, 0x017DU);
}

TEST_F(Component, OpenAndCloseMakeTheirCallsInOrder) {
  serial.SetActive(true);
  EXPECT_TRUE(serial.Active());
  EXPECT_TRUE(serial.EventThreadStarted());
  EXPECT_TRUE(fake->Dtr());
  EXPECT_TRUE(fake->Rts());
  serial.SetActive(false);
  EXPECT_FALSE(serial.Active());
  EXPECT_EQ(OwnerTrace(), Join(kOpenTrace, kCloseTrace));
  EXPECT_FALSE(fake->IsOpen());
  EXPECT_FALSE(fake->Dtr());
  // The close happens on the handle that was opened.
  const auto closes = CallsNamed("Close");
  ASSERT_EQ(closes.size(), 1U);
  EXPECT_EQ(closes[0].handle, CallsNamed("Open")[0].handle);
}

TEST_F(Component, ActivatingAnOpenPortReopensIt) {
  OpenAndForget();
  serial.SetActive(true);
  EXPECT_TRUE(serial.Active());
  EXPECT_EQ(OwnerTrace(), Join(kCloseTrace, kOpenTrace));
}

TEST_F(Component, ClosingAClosedPortDoesNothing) {
  serial.SetActive(false);
  EXPECT_TRUE(fake->Trace().empty());
}

struct DcbCase {
  const char* name;
  eFlowControl flow;
  bool checkParity;
  std::uint32_t flags;
};

class DcbFlags : public SerialFixture, public ::testing::WithParamInterface<DcbCase> {};

TEST_P(DcbFlags, FlagWordIsRebuiltForEachMode) {
  const DcbCase& c = GetParam();
  // Start from another mode so that stale bits would show.
  serial.SetFlowMode(fcXON_XOF);
  serial.SetActive(true);
  serial.SetFlowMode(c.flow);
  serial.SetCheckParity(c.checkParity);
  const auto states = CallsNamed("SetCommState");
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back().dcb.Flags, c.flags);
  EXPECT_EQ(serial.DeviceControl().Flags, c.flags);
}

INSTANTIATE_TEST_SUITE_P(Modes, DcbFlags,
                         ::testing::Values(DcbCase{"None", fcNone, true, 0x0003},
                                           DcbCase{"NoneNoParity", fcNone, false, 0x0001},
                                           DcbCase{"RtsCts", fcRTS_CTS, true, 0x2007},
                                           DcbCase{"DtrDsr", fcDTR_DSR, false, 0x0029},
                                           DcbCase{"XonXoff", fcXON_XOF, true, 0x0303}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(Component, DeviceControlRecordFields) {
  serial.SetActive(true);
  const comm::DCB d = CallsNamed("SetCommState").back().dcb;
  EXPECT_EQ(d.DCBlength, 28U);
  EXPECT_EQ(d.BaudRate, 9600U);
  EXPECT_EQ(d.XonLim, 341);
  EXPECT_EQ(d.XoffLim, 341);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(d.ErrorChar, 0x3F);
  EXPECT_EQ(d.EofChar, 0);
  EXPECT_EQ(d.EvtChar, 0);
  EXPECT_EQ(d.wReserved, 0);
  EXPECT_EQ(d.wReserved1, 0);
}

TEST_F(Component, LineSettingTables) {
  serial.SetActive(true);
  const struct {
    eParity parity;
    std::uint8_t code;
  } parities[] = {{PaOdd, 1}, {paEven, 2}, {paMark, 3}, {paSpace, 4}, {paNone, 0}};
  for (const auto& p : parities) {
    serial.SetParity(p.parity);
    EXPECT_EQ(CallsNamed("SetCommState").back().dcb.Parity, p.code) << int{p.parity};
  }
  serial.SetDataBits(d8bit);
  EXPECT_EQ(CallsNamed("SetCommState").back().dcb.ByteSize, 8);
  serial.SetStopBits(st2bit);
  EXPECT_EQ(CallsNamed("SetCommState").back().dcb.StopBits, 2);
  serial.SetRxQueueSize(1000);
  EXPECT_EQ(CallsNamed("SetCommState").back().dcb.XonLim, 333);
  EXPECT_EQ(CallsNamed("SetupComm").back().args, (std::vector<std::int64_t>{1000, 1024}));
}

TEST_F(Component, WriteTimeoutStaysOnceFlowControlWasApplied) {
  serial.SetActive(true);
  comm::COMMTIMEOUTS t = CallsNamed("SetCommTimeouts").back().timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFU);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0U);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0U);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0U);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0U);
  serial.SetFlowMode(fcRTS_CTS);
  EXPECT_EQ(CallsNamed("SetCommTimeouts").back().timeouts.WriteTotalTimeoutConstant, 10000U);
  serial.SetFlowMode(fcNone);
  t = CallsNamed("SetCommTimeouts").back().timeouts;
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 10000U);
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFU);
}

TEST_F(Component, EqualValuesDoNothingEvenOnAnOpenPort) {
  OpenAndForget();
  serial.SetPort(1);
  serial.SetBaudrate(9600);
  serial.SetParity(paNone);
  serial.SetDataBits(d7bit);
  serial.SetStopBits(st1bit);
  serial.SetFlowMode(fcNone);
  serial.SetCheckParity(true);
  EXPECT_TRUE(OwnerTrace().empty());
  EXPECT_TRUE(owner.Boxes().empty());
}

TEST_F(Component, EqualQueueSizeStillReopens) {
  OpenAndForget();
  serial.SetRxQueueSize(1024);
  EXPECT_EQ(OwnerTrace(), Join(kCloseTrace, kOpenTrace));
  fake->ClearCalls();
  serial.SetTxQueueSize(1024);
  EXPECT_EQ(OwnerTrace(), Join(kCloseTrace, kOpenTrace));
  EXPECT_TRUE(fake->Dtr());
  EXPECT_TRUE(fake->Rts());
}

TEST_F(Component, SettersOnAClosedPortOnlyStore) {
  serial.SetPort(4);
  serial.SetBaudrate(38400);
  serial.SetParity(paEven);
  serial.SetDataBits(d8bit);
  serial.SetStopBits(st2bit);
  serial.SetRxQueueSize(512);
  serial.SetTxQueueSize(256);
  serial.SetFlowMode(fcRTS_CTS);
  serial.SetCheckParity(false);
  EXPECT_TRUE(fake->Trace().empty());
  serial.SetActive(true);
  EXPECT_EQ(fake->OpenDevice(), "COM4");
  const comm::DCB& d = serial.DeviceControl();
  EXPECT_EQ(d.BaudRate, 38400U);
  EXPECT_EQ(d.Parity, 2);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.StopBits, 2);
  EXPECT_EQ(d.Flags, 0x2005U);
  EXPECT_EQ(d.XonLim, 170);
}

TEST_F(Component, InvalidBaudrateShowsTheBoxWhateverNotifyErrorsSays) {
  serial.SetNotifyErrors(neNone);
  serial.SetActive(true);
  fake->ClearCalls();
  serial.SetBaudrate(1000);
  EXPECT_EQ(owner.Boxes(), std::vector<std::string>({"Baudrate is not valid"}));
  EXPECT_EQ(serial.Baudrate(), 9600);
  EXPECT_EQ(serial.ErrorCode(), 0);
  EXPECT_TRUE(OwnerTrace().empty());
  serial.SetBaudrate(115200);
  EXPECT_EQ(serial.Baudrate(), 115200);
  EXPECT_EQ(serial.DeviceControl().BaudRate, 115200U);
  EXPECT_EQ(OwnerTrace(), Join(kCloseTrace, kOpenTrace));
  EXPECT_EQ(owner.Boxes().size(), 1U);
}

TEST_F(Component, EveryValidBaudrateIsAccepted) {
  for (const std::int32_t rate : TSerial::kValidBaudrates) {
    serial.SetBaudrate(rate);
    EXPECT_EQ(serial.Baudrate(), rate);
  }
  for (const std::int32_t rate : {0, -9600, 110, 14401, 230400}) {
    serial.SetBaudrate(rate);
    EXPECT_EQ(serial.Baudrate(), 115200) << rate;
  }
  EXPECT_EQ(owner.Boxes().size(), 5U);
}

TEST_F(Component, PortChangeOnAnOpenPortMovesToTheNewDevice) {
  OpenAndForget();
  serial.SetPort(2);
  Trace expected = kCloseTrace;
  Trace reopen = kOpenTrace;
  reopen[0] = "Open(COM2)";
  EXPECT_EQ(OwnerTrace(), Join(expected, reopen));
  EXPECT_EQ(fake->OpenDevice(), "COM2");
  EXPECT_TRUE(serial.Active());
}

TEST_F(Component, MissingDeviceLeavesThePortClosed) {
  fake->SetDeviceExists("COM3", false);
  serial.SetPort(3);
  struct {
    eNotifyErr mode;
    std::size_t boxes;
    int events;
  } cases[] = {{neNone, 0, 0}, {neEvent, 0, 1}, {neDialog, 1, 0}};
  for (const auto& c : cases) {
    owner.ClearBoxes();
    int events = 0;
    serial.OnError = [&](TSerial& sender) {
      EXPECT_EQ(&sender, &serial);
      ++events;
    };
    serial.SetNotifyErrors(c.mode);
    serial.SetActive(true);
    EXPECT_FALSE(serial.Active()) << int{c.mode};
    EXPECT_EQ(serial.ErrorCode(), FakePlatform::kNoDevice);
    EXPECT_EQ(owner.Boxes().size(), c.boxes) << int{c.mode};
    EXPECT_EQ(events, c.events) << int{c.mode};
  }
  EXPECT_EQ(owner.Boxes(), std::vector<std::string>({"Fake error 2"}));
  EXPECT_FALSE(serial.EventThreadStarted());
  EXPECT_EQ(fake->CountOf("SetupComm"), 0U);
}

TEST_F(Component, DeviceInUseIsReported) {
  TSerial other(owner, fake);
  other.SetActive(true);
  serial.SetNotifyErrors(neNone);
  serial.SetActive(true);
  EXPECT_FALSE(serial.Active());
  EXPECT_EQ(serial.ErrorCode(), FakePlatform::kInUse);
  EXPECT_TRUE(other.Active());
}

TEST_F(Component, ErrorTextIsTrimmedBeforeItIsShown) {
  const struct {
    std::string platform;
    std::string shown;
  } cases[] = {
      {"Zugriff verweigert.\r\n", "Zugriff verweigert"},
      {"Das System kann die Datei nicht finden. . .  \t", "Das System kann die Datei nicht finden"},
      {"v1.2 failed", "v1.2 failed"},
      {"...", ""},
      {std::string(300, 'x'), std::string(255, 'x')},
      {std::string(254, 'y') + ". tail", std::string(254, 'y')}};
  std::int32_t code = 1000;
  for (const auto& c : cases) {
    owner.ClearBoxes();
    fake->SetErrorText(code, c.platform);
    fake->FailNext("Open", code);
    serial.SetActive(true);
    EXPECT_EQ(owner.Boxes(), std::vector<std::string>({c.shown}));
    EXPECT_EQ(serial.ErrorCode(), code);
    ++code;
  }
}

TEST_F(Component, FailedStepsOfTheOpenAreReportedAndTheOpenGoesOn) {
  for (const std::string step : {"SetupComm", "SetCommState", "SetCommTimeouts", "SetCommMask"}) {
    serial.SetNotifyErrors(neNone);
    fake->ClearCalls();
    fake->FailNext(step, 77);
    serial.SetActive(true);
    EXPECT_TRUE(serial.Active()) << step;
    EXPECT_EQ(serial.ErrorCode(), 77) << step;
    EXPECT_EQ(OwnerTrace().back(), "SetCommMask(381)") << step;
    serial.SetActive(false);
    serial.SetNotifyErrors(neDialog);
  }
  EXPECT_TRUE(owner.Boxes().empty());
}

TEST_F(Component, FailedStepsOfTheCloseAreReportedAndTheCloseGoesOn) {
  serial.SetNotifyErrors(neEvent);
  int reports = 0;
  serial.OnError = [&](TSerial&) { ++reports; };
  for (const std::string name : {"PurgeComm", "SetCommMask", "Close"}) {
    serial.SetActive(true);
    fake->ClearCalls();
    fake->FailNext(name, 5);
    serial.SetActive(false);
    EXPECT_FALSE(serial.Active()) << name;
    EXPECT_EQ(serial.ErrorCode(), 5) << name;
    EXPECT_EQ(OwnerTrace().back(), "Close") << name;
  }
  EXPECT_EQ(reports, 3);
}

TEST_F(Component, ModemLineResultsAreIgnoredByTheOpen) {
  fake->FailAlways("EscapeCommFunction", 25);
  serial.SetActive(true);
  EXPECT_TRUE(serial.Active());
  EXPECT_EQ(serial.ErrorCode(), 0);
  EXPECT_TRUE(owner.Boxes().empty());
}

TEST_F(Component, QueueCountsAreZeroWithoutACallWhileClosed) {
  EXPECT_EQ(serial.GetRxWaiting(), 0);
  EXPECT_EQ(serial.GetTxWaiting(), 0);
  EXPECT_TRUE(fake->Trace().empty());
  OpenAndForget();
  fake->SetRxRaisesEvent(false);
  fake->PushRx("abc");
  fake->SetTxQueued(5);
  EXPECT_EQ(serial.GetRxWaiting(), 3);
  EXPECT_EQ(serial.GetTxWaiting(), 5);
  EXPECT_EQ(fake->CountOf("ClearCommError"), 2U);
  // A failed read keeps the previous counts.
  serial.SetNotifyErrors(neNone);
  fake->FailNext("ClearCommError", 6);
  fake->PushRx("d");
  EXPECT_EQ(serial.GetRxWaiting(), 3);
  EXPECT_EQ(serial.ErrorCode(), 6);
  EXPECT_EQ(serial.GetRxWaiting(), 4);
}

TEST_F(Component, ReadByteTakesOneByteWithoutWaiting) {
  std::uint8_t b = 0xEE;
  EXPECT_EQ(serial.ReadByte(b), 0);  // closed: no call at all
  EXPECT_TRUE(fake->Trace().empty());
  OpenAndForget();
  fake->SetRxRaisesEvent(false);
  EXPECT_EQ(serial.ReadByte(b), 0);
  EXPECT_EQ(b, 0xEE);
  fake->PushRx(std::string("Y\0", 2));
  EXPECT_EQ(serial.ReadByte(b), 1);
  EXPECT_EQ(b, 'Y');
  EXPECT_EQ(serial.ReadByte(b), 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(serial.ReadByte(b), 0);
  EXPECT_EQ(serial.ErrorCode(), 0);
  const auto reads = CallsNamed("ReadByte");
  ASSERT_EQ(reads.size(), 4U);
  EXPECT_EQ(reads[0].args, std::vector<std::int64_t>({100}));
}

TEST_F(Component, ReadFailuresAndTimeouts) {
  OpenAndForget();
  fake->SetRxRaisesEvent(false);
  fake->PushRx("Q");
  serial.SetNotifyErrors(neNone);
  std::uint8_t b = 7;
  fake->FailNext("ReadByte", kPlatformTimedOut);
  EXPECT_EQ(serial.ReadByte(b), 0);
  EXPECT_EQ(serial.ErrorCode(), 0);  // a read that timed out is no failure
  fake->FailNext("ReadByte", 5);
  EXPECT_EQ(serial.ReadByte(b), 0);
  EXPECT_EQ(serial.ErrorCode(), 5);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(serial.ReadByte(b), 1);
  EXPECT_EQ(b, 'Q');
}

TEST_F(Component, WriteStringSendsTheTextUnchanged) {
  std::uint8_t unused = 0;
  serial.WriteString("dropped");  // closed: reaches no device
  EXPECT_EQ(serial.ReadByte(unused), 0);
  EXPECT_TRUE(fake->Trace().empty());
  OpenAndForget();
  const std::string record139 = ":40" + std::string(136, 'A');
  std::string long600;
  for (int i = 0; i < 600; ++i) long600.push_back(static_cast<char>('0' + i % 10));
  const std::string withZero("AB\0CD", 5);
  for (const std::string& text : {std::string(), record139, long600, withZero}) {
    fake->ClearCalls();
    serial.WriteString(text);
    const auto writes = CallsNamed("Write");
    ASSERT_EQ(writes.size(), 1U);
    EXPECT_EQ(writes[0].data, text);
    EXPECT_EQ(writes[0].args,
              (std::vector<std::int64_t>{static_cast<std::int64_t>(text.size()), 1000}));
  }
  EXPECT_EQ(fake->Written(), record139 + long600 + withZero);
  EXPECT_EQ(serial.ErrorCode(), 0);
}

TEST_F(Component, WriteThatTimesOutIsReported) {
  OpenAndForget();
  fake->SetErrorText(kPlatformTimedOut, "Connection timed out");
  fake->FailNext("Write", kPlatformTimedOut);
  serial.WriteString(":000000FF01");
  EXPECT_EQ(serial.ErrorCode(), kPlatformTimedOut);
  EXPECT_EQ(owner.Boxes(), std::vector<std::string>({"Connection timed out"}));
}

TEST_F(Component, BreakStateMakesOneCallPerChangeAndOutlivesTheClose) {
  serial.SetBreak(true);  // closed: nothing happens
  EXPECT_FALSE(serial.BreakState());
  EXPECT_TRUE(fake->Trace().empty());
  OpenAndForget();
  serial.SetBreak(true);
  serial.SetBreak(true);
  EXPECT_EQ(OwnerTrace(), Trace({"SetCommBreak"}));
  EXPECT_TRUE(fake->BreakOn());
  serial.SetActive(false);
  serial.SetActive(true);
  EXPECT_TRUE(serial.BreakState());
  fake->ClearCalls();
  serial.SetBreak(true);
  EXPECT_TRUE(OwnerTrace().empty());
  serial.SetBreak(false);
  serial.SetBreak(false);
  EXPECT_EQ(OwnerTrace(), Trace({"ClearCommBreak"}));
  fake->FailAlways("SetCommBreak", 9);
  serial.SetBreak(true);
  EXPECT_EQ(serial.ErrorCode(), 0);  // the result is ignored
}

TEST_F(Component, ModemLinesUseTheEscapeFunctions) {
  EXPECT_FALSE(serial.SetModemLine(osDTR, true));  // closed
  OpenAndForget();
  const struct {
    eModemOutSignal line;
    bool state;
    const char* call;
  } cases[] = {{osRTS, true, "EscapeCommFunction(3)"},
               {osRTS, false, "EscapeCommFunction(4)"},
               {osDTR, true, "EscapeCommFunction(5)"},
               {osDTR, false, "EscapeCommFunction(6)"}};
  for (const auto& c : cases) {
    fake->ClearCalls();
    EXPECT_TRUE(serial.SetModemLine(c.line, c.state));
    EXPECT_EQ(OwnerTrace(), Trace({c.call}));
  }
  fake->ClearCalls();
  EXPECT_FALSE(serial.SetModemLine(static_cast<eModemOutSignal>(7), true));
  EXPECT_EQ(OwnerTrace(), Trace({"EscapeCommFunction(0)"}));
  fake->FailNext("EscapeCommFunction", 25);
  EXPECT_FALSE(serial.SetModemLine(osRTS, true));
  EXPECT_EQ(serial.ErrorCode(), 0);
}

TEST_F(Component, ErrorCodeSurvivesOpeningAndClosing) {
  serial.SetNotifyErrors(neNone);
  fake->FailNext("SetCommState", 42);
  serial.SetActive(true);
  serial.SetActive(false);
  serial.SetActive(true);
  EXPECT_EQ(serial.ErrorCode(), 42);
}

TEST(ComponentLifetime, NeverStartedThreadEndsWithTheComponent) {
  ManualSerialOwner owner;
  auto fake = std::make_shared<FakePlatform>();
  { TSerial serial(owner, fake); }
  {
    TSerial serial(owner, fake);
    serial.SetActive(true);
    // Destroyed while open: the port is closed and the thread ends.
  }
  EXPECT_FALSE(fake->IsOpen());
  EXPECT_EQ(fake->OpenCount(), 1U);
}

}  // namespace

namespace {

// A port whose device has gone fails every poll the same way. Each failure
// is shown once per opening, and never as a box inside an identical box.
TEST_F(Component, FailureIsReportedOncePerOpeningAndKind) {
  fake->FailAlways("ReadByte", 5);
  fake->FailAlways("ClearCommError", 5);
  // While the box is up the owner keeps running hand-overs and polls; the
  // same failures come again meanwhile.
  int nested = 0;
  owner.SetBoxHook([&](const std::string&) {
    if (++nested > 1) return;
    std::uint8_t b = 0;
    for (int i = 0; i < 3; ++i) serial.ReadByte(b);
    serial.GetRxWaiting();
  });
  serial.SetActive(true);
  ASSERT_TRUE(serial.Active());
  std::uint8_t b = 0;
  for (int i = 0; i < 50; ++i) EXPECT_EQ(serial.ReadByte(b), 0);
  for (int i = 0; i < 5; ++i) serial.GetRxWaiting();
  EXPECT_EQ(serial.ErrorCode(), 5);
  // One box: the read's. The status read failed while it was up, with the
  // same text, so it is not stacked on it, nor shown after it.
  EXPECT_EQ(owner.Boxes(), std::vector<std::string>({"Fake error 5"}));
  EXPECT_EQ(fake->CountOf("ReadByte"), 53U);

  // Another code of the same kind is a new failure.
  fake->ClearFailures();
  fake->FailAlways("ReadByte", 6);
  for (int i = 0; i < 5; ++i) serial.ReadByte(b);
  EXPECT_EQ(owner.Boxes().size(), 2U);

  // A new opening reports again, once.
  serial.SetActive(true);
  for (int i = 0; i < 5; ++i) serial.ReadByte(b);
  EXPECT_EQ(owner.Boxes().size(), 3U);
  owner.SetBoxHook({});
}

TEST_F(Component, OneBoxPerTextPerOpeningWhicheverCallsFail) {
  // A port that opens but fails every call with one code (a device that has
  // gone): the settings, the mask, the reads and the status reads all fail
  // alike, and the operator gets one box, not one per kind of call.
  for (const char* call : {"SetupComm", "SetCommState", "SetCommTimeouts", "SetCommMask",
                           "ReadByte", "ClearCommError", "Write"}) {
    fake->FailAlways(call, 1);
  }
  serial.SetActive(true);
  std::uint8_t b = 0;
  serial.ReadByte(b);
  serial.GetRxWaiting();
  serial.WriteString("x");
  EXPECT_EQ(owner.Boxes(), std::vector<std::string>({"Fake error 1"}));
  // Each opening may say it once more.
  serial.SetActive(false);
  serial.SetActive(true);
  EXPECT_EQ(owner.Boxes().size(), 2U);
}

TEST_F(Component, EveryFailedOpenIsReported) {
  fake->SetDeviceExists("COM1", false);
  for (int i = 0; i < 3; ++i) serial.SetActive(true);
  EXPECT_EQ(owner.Boxes().size(), 3U);
}

TEST_F(Component, OpeningDiscardsBytesReceivedBefore) {
  serial.SetActive(true);
  fake->PushRx("left");
  serial.SetActive(true);  // reopens
  std::uint8_t b = 0;
  EXPECT_EQ(serial.ReadByte(b), 0);
  fake->PushRx("Q");
  EXPECT_EQ(serial.ReadByte(b), 1);
  EXPECT_EQ(b, 'Q');
}

TEST_F(Component, PlatformLooksOnlyForEventsAHandlerCouldReceive) {
  serial.SetActive(true);
  EXPECT_EQ(fake->Interest(), kEV_RXCHAR);
  serial.OnSignalChange = [](TSerial&, eModemInSignal, bool) {};
  EXPECT_EQ(fake->Interest(), kEV_RXCHAR | kEV_CTS | kEV_DSR | kEV_RLSD);
  serial.OnBreak = [](TSerial&) {};
  serial.OnRing = [](TSerial&) {};
  serial.OnTxEmpty = [](TSerial&) {};
  EXPECT_EQ(fake->Interest(), TSerial::kEventMask);
  serial.OnSignalChange = nullptr;
  EXPECT_EQ(fake->Interest(), TSerial::kEventMask & ~(kEV_CTS | kEV_DSR | kEV_RLSD));
  // The mask itself is the component's own, whatever the handlers.
  EXPECT_EQ(fake->Mask(), TSerial::kEventMask);
}

}  // namespace
