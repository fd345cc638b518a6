#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kald_host/wdm.h"
#include "kald_sim/camera.h"

namespace {

using kald::sim::Access;
using kald::sim::CalibrationBlock;
using kald::sim::Camera;
using kald::sim::CameraConfig;
using kald::sim::Direction;
using kald::sim::FormatTransfer;
using kald::sim::Transfer;

// A register write the way the driver issues it: no buffer, length 0.
NTSTATUS Write(Camera& camera, USHORT index, USHORT value)
{
    ULONG length = 0;
    return camera.VendorControl(0, value, index, nullptr, &length, false);
}

// A one-byte register read; `byte` keeps its value when the read fails.
NTSTATUS Read(Camera& camera, USHORT index, UCHAR& byte)
{
    ULONG length = 1;
    return camera.VendorControl(0, 0, index, &byte, &length, true);
}

UCHAR ReadByte(Camera& camera, USHORT index)
{
    UCHAR byte = 0xEE;
    EXPECT_EQ(Read(camera, index, byte), STATUS_SUCCESS) << std::hex << index;
    return byte;
}

// The three serial port writes of one sensor register write.
void StartSensorWrite(Camera& camera, UCHAR sensorRegister, USHORT value)
{
    EXPECT_EQ(Write(camera, 0x8805, value & 0xFF), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8801, sensorRegister), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8800, value >> 8), STATUS_SUCCESS);
}

// Polls 0x8803 `reads` times and returns the bytes seen.
std::vector<UCHAR> PollSerial(Camera& camera, int reads)
{
    std::vector<UCHAR> seen;
    for (int i = 0; i < reads; ++i) {
        seen.push_back(ReadByte(camera, 0x8803));
    }
    return seen;
}

// The four port writes that start a calibration word read.
void StartWordRead(Camera& camera, UCHAR word)
{
    EXPECT_EQ(Write(camera, 0x8200, 0x08), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8200, 0x00), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8201, word), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8200, 0x01), STATUS_SUCCESS);
}

std::vector<UCHAR> PollCalibration(Camera& camera, int reads)
{
    std::vector<UCHAR> seen;
    for (int i = 0; i < reads; ++i) {
        seen.push_back(ReadByte(camera, 0x8207));
    }
    return seen;
}

// The whole word read: start, poll until ready, high byte, low byte.
USHORT ReadWord(Camera& camera, UCHAR word)
{
    StartWordRead(camera, word);
    int polls = 0;
    while ((ReadByte(camera, 0x8207) & 3) != 2 && ++polls < 100) {
        // not ready yet
    }
    const UCHAR high = ReadByte(camera, 0x8206);
    const UCHAR low = ReadByte(camera, 0x8205);
    return USHORT(high << 8 | low);
}

// Two defects with offsets, as the defect upload examples use them.
CalibrationBlock TwoDefects()
{
    CalibrationBlock block;
    block.Defects = {{10, 20}, {1023, 300}};
    block.Offsets = 0x0102;
    return block;
}

// --- Bridge registers ---

TEST(CameraRegisters, WritesStoreTheLowByteAndTheLogKeepsAllSixteenBits)
{
    struct Case {
        USHORT Register;
        USHORT Value;
        UCHAR ReadBack;
        const char* WriteLine;
        const char* ReadLine;
    };
    const Case cases[] = {
        {0x8500, 0x0010, 0x10, "OUT 8500 0010", "IN 8500 10"},
        {0x86B0, 0x0113, 0x13, "OUT 86B0 0113", "IN 86B0 13"}, // defect index above 255
        {0x8651, 0x00FF, 0xFF, "OUT 8651 00FF", "IN 8651 FF"},
        {0x8704, 0x0042, 0x42, "OUT 8704 0042", "IN 8704 42"},
        {0x865B, 0xAB0B, 0x0B, "OUT 865B AB0B", "IN 865B 0B"},
        {0x0000, 0x0001, 0x01, "OUT 0000 0001", "IN 0000 01"},
        {0xFFFF, 0x0080, 0x80, "OUT FFFF 0080", "IN FFFF 80"},
    };
    for (const Case& c : cases) {
        Camera camera;
        EXPECT_EQ(Write(camera, c.Register, c.Value), STATUS_SUCCESS);
        EXPECT_EQ(camera.Register(c.Register), c.ReadBack);
        EXPECT_EQ(ReadByte(camera, c.Register), c.ReadBack);
        EXPECT_EQ(camera.FormattedLog(), (std::vector<std::string>{c.WriteLine, c.ReadLine}))
            << std::hex << c.Register;
    }
}

TEST(CameraRegisters, ReadsSetTheLengthToOneByte)
{
    Camera camera;
    UCHAR bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ULONG length = 4;
    ASSERT_EQ(Write(camera, 0x8601, 0x08), STATUS_SUCCESS);
    EXPECT_EQ(camera.VendorControl(0, 0, 0x8601, bytes, &length, true), STATUS_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(bytes[0], 0x08);
    EXPECT_EQ(bytes[1], 0xEE);

    const auto log = camera.TransferLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].Dir, Direction::Out);
    EXPECT_EQ(log[0].Length, 0u);
    EXPECT_EQ(log[1].Dir, Direction::In);
    EXPECT_EQ(log[1].Length, 4u);
    EXPECT_EQ(log[1].Data, 0x08);
    EXPECT_EQ(log[1].Sequence, 2u);
}

TEST(CameraRegisters, ResetValuesAndRevision)
{
    Camera plain;
    const USHORT untouched[] = {0x8101, 0x8112, 0x8500, 0x8660, 0x8803, 0x8207, 0x8621};
    for (USHORT index : untouched) {
        EXPECT_EQ(ReadByte(plain, index), 0x00) << std::hex << index;
    }

    CameraConfig config;
    config.Revision = 2;
    Camera revised(config);
    EXPECT_EQ(ReadByte(revised, 0x8101), 0x02);
    revised.SetRevision(3);
    EXPECT_EQ(ReadByte(revised, 0x8101), 0x03);
}

TEST(CameraRegisters, ReadOnlyRegistersIgnoreWrites)
{
    const USHORT readOnly[] = {0x8101, 0x8205, 0x8206, 0x8207, 0x8621, 0x8628, 0x8803};
    for (USHORT index : readOnly) {
        Camera camera;
        EXPECT_EQ(Write(camera, index, 0x5A), STATUS_SUCCESS);
        EXPECT_EQ(camera.Register(index), 0x00) << std::hex << index;
        EXPECT_EQ(camera.Stats().ReadOnlyWrites, 1u);
    }
}

TEST(CameraRegisters, StatisticsRegistersReadBackWhatWasSet)
{
    Camera camera;
    camera.SetStatisticsRegisters({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    const UCHAR expected[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ReadByte(camera, USHORT(0x8621 + i)), expected[i]) << i;
    }
    EXPECT_EQ(ReadByte(camera, 0x8620), 0x00);
    EXPECT_EQ(ReadByte(camera, 0x8629), 0x00);
}

TEST(CameraRegisters, StreamRegisterSwitchesTheStream)
{
    Camera camera;
    EXPECT_FALSE(camera.Streaming());
    struct Step {
        UCHAR Value;
        bool Streaming;
    };
    // Capture start writes 0x00 then 0x30; capture stop 0x00.
    const Step steps[] = {{0x00, false}, {0x30, true}, {0x30, true}, {0x00, false}, {0x10, false}};
    for (const Step& s : steps) {
        Write(camera, 0x8112, s.Value);
        EXPECT_EQ(camera.Streaming(), s.Streaming) << int(s.Value);
    }
    EXPECT_EQ(camera.Stats().StreamStarts, 1u);
    EXPECT_EQ(camera.Stats().StreamStops, 1u);
}

TEST(CameraRegisters, PowerCycleRestoresResetStateButKeepsCalibration)
{
    Camera camera;
    camera.LoadCalibration(TwoDefects());
    Write(camera, 0x8500, 0x10);
    Write(camera, 0x8112, 0x30);
    StartSensorWrite(camera, 0x35, 0x001E);
    USHORT packet = 0;
    ASSERT_EQ(camera.SelectAlternateSetting(0, 2, &packet), STATUS_SUCCESS);

    camera.PowerCycle();
    EXPECT_EQ(camera.Register(0x8500), 0x00);
    EXPECT_FALSE(camera.Streaming());
    EXPECT_EQ(camera.SensorRegister(0x35), 0x0000);
    EXPECT_EQ(camera.Register(0x8803), 0x00);
    EXPECT_EQ(camera.AlternateSetting(), 0);
    EXPECT_EQ(ReadWord(camera, 24), 1023);
}

TEST(CameraRegisters, ConcurrentTransfersAreAllRecorded)
{
    Camera camera;
    auto writer = [&camera](USHORT index) {
        for (int i = 0; i < 500; ++i) {
            Write(camera, index, USHORT(i));
        }
    };
    std::thread first(writer, USHORT(0x8651));
    std::thread second(writer, USHORT(0x8653));
    first.join();
    second.join();

    const auto log = camera.TransferLog();
    ASSERT_EQ(log.size(), 1000u);
    std::set<uint64_t> sequences;
    for (const Transfer& t : log) {
        sequences.insert(t.Sequence);
    }
    EXPECT_EQ(sequences.size(), 1000u);
    EXPECT_EQ(*sequences.begin(), 1u);
    EXPECT_EQ(*sequences.rbegin(), 1000u);
    EXPECT_EQ(camera.Register(0x8651), 499 & 0xFF);
    EXPECT_EQ(camera.Register(0x8653), 499 & 0xFF);
}

// --- Sensor serial port ---

TEST(CameraSerialPort, TransferStoresTheValueAndBusyClearsAfterTheConfiguredReads)
{
    struct Case {
        unsigned BusyReads;
        std::vector<UCHAR> Polls; // 0x8803 as read, one more than the busy reads
    };
    const Case cases[] = {
        {0, {0x00}},
        {1, {0x01, 0x00}},
        {2, {0x01, 0x01, 0x00}}, // the default
        {5, {0x01, 0x01, 0x01, 0x01, 0x01, 0x00}},
    };
    for (const Case& c : cases) {
        CameraConfig config;
        config.SerialBusyStatusReads = c.BusyReads;
        Camera camera(config);
        StartSensorWrite(camera, 0x07, 0x40AA);
        EXPECT_EQ(camera.SensorRegister(0x07), 0x40AA);
        EXPECT_EQ(PollSerial(camera, int(c.Polls.size())), c.Polls) << c.BusyReads;
        EXPECT_EQ(PollSerial(camera, 1), std::vector<UCHAR>{0x00}); // stays idle
        EXPECT_EQ(camera.Stats().SerialBusyReads, c.BusyReads);
        EXPECT_EQ(camera.Stats().SensorWrites, 1u);
    }
}

TEST(CameraSerialPort, DefaultCameraLogsTheSequence)
{
    Camera camera;
    StartSensorWrite(camera, 0x09, 0x1056);
    PollSerial(camera, 3);
    EXPECT_EQ(camera.FormattedLog(), (std::vector<std::string>{
                                         "OUT 8805 0056",
                                         "OUT 8801 0009",
                                         "OUT 8800 0010",
                                         "IN 8803 01",
                                         "IN 8803 01",
                                         "IN 8803 00",
                                     }));
    const auto sensorLog = camera.SensorWriteLog();
    ASSERT_EQ(sensorLog.size(), 1u);
    EXPECT_EQ(sensorLog[0].Register, 0x09);
    EXPECT_EQ(sensorLog[0].Value, 0x1056);
    EXPECT_EQ(sensorLog[0].Sequence, 3u); // the 0x8800 write
}

TEST(CameraSerialPort, BringUpSensorTableLandsInTheSensorRegisters)
{
    // The sensor rows of the bring-up, 352x288 mode row 0.
    struct Row {
        UCHAR Register;
        USHORT Value;
    };
    const Row rows[] = {
        {0x07, 0x40AA}, {0x01, 0x000E}, {0x02, 0x000C}, {0x03, 0x0120}, {0x04, 0x0171},
        {0x05, 0x0047}, {0x06, 0x0007}, {0x20, 0x3504}, {0x27, 0x002C}, {0x28, 0x000B},
        {0x09, 0x1056}, {0x2F, 0x1100}, {0x31, 0x2820}, {0x35, 0x001E}, {0x39, 0x0002},
        {0x40, 0x003C}, {0x41, 0x0040},
    };
    Camera camera;
    for (const Row& r : rows) {
        StartSensorWrite(camera, r.Register, r.Value);
        PollSerial(camera, 3);
    }
    const auto sensorLog = camera.SensorWriteLog();
    ASSERT_EQ(sensorLog.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(camera.SensorRegister(rows[i].Register), rows[i].Value) << i;
        EXPECT_EQ(sensorLog[i].Register, rows[i].Register) << i;
        EXPECT_EQ(sensorLog[i].Value, rows[i].Value) << i;
        EXPECT_EQ(sensorLog[i].Sequence, 6 * i + 3) << i;
    }
    EXPECT_EQ(camera.SensorRegister(0x08), 0x0000);
    EXPECT_EQ(camera.Stats().SerialStartsWhileBusy, 0u);
}

TEST(CameraSerialPort, OnlyTheHighByteWriteStartsATransfer)
{
    Camera camera;
    Write(camera, 0x8805, 0xAB);
    Write(camera, 0x8801, 0x07);
    EXPECT_EQ(camera.SensorRegister(0x07), 0x0000);
    EXPECT_TRUE(camera.SensorWriteLog().empty());
    EXPECT_EQ(PollSerial(camera, 1), std::vector<UCHAR>{0x00});
    // The low byte and register latch stay for the next start.
    Write(camera, 0x8800, 0x00);
    EXPECT_EQ(camera.SensorRegister(0x07), 0x00AB);
    Write(camera, 0x8800, 0x01);
    EXPECT_EQ(camera.SensorRegister(0x07), 0x01AB);
    EXPECT_EQ(camera.Stats().SerialStartsWhileBusy, 1u);
}

TEST(CameraSerialPort, BusyForeverIsCountedAndTheValueStillArrives)
{
    Camera camera;
    camera.SetSerialBusyForever(true);
    StartSensorWrite(camera, 0x35, 0x0063);
    EXPECT_EQ(PollSerial(camera, 10), std::vector<UCHAR>(10, 0x01));
    EXPECT_EQ(camera.SensorRegister(0x35), 0x0063);
    EXPECT_EQ(camera.Register(0x8803), 0x01);
    EXPECT_EQ(camera.Stats().SerialBusyReads, 10u);
    EXPECT_EQ(camera.Stats().ForcedBusyReads, 8u); // the first two were busy anyway

    camera.SetSerialBusyForever(false);
    EXPECT_EQ(PollSerial(camera, 1), std::vector<UCHAR>{0x00});
}

// --- Calibration port and block ---

TEST(CameraCalibration, WordReadsFollowTheReadyProtocol)
{
    CameraConfig config;
    config.Calibration = TwoDefects();
    Camera camera(config);
    StartWordRead(camera, 17);
    // Three reads say not ready (the default), the fourth ready.
    EXPECT_EQ(PollCalibration(camera, 4), (std::vector<UCHAR>{0x01, 0x01, 0x01, 0x02}));
    EXPECT_EQ(PollCalibration(camera, 1), std::vector<UCHAR>{0x02}); // stays ready
    EXPECT_EQ(ReadByte(camera, 0x8206), 0xAA);
    EXPECT_EQ(ReadByte(camera, 0x8205), 0x55);
    EXPECT_EQ(camera.Stats().CalibrationWordReads, 1u);
    EXPECT_EQ(camera.Stats().CalibrationNotReadyReads, 3u);
    EXPECT_EQ(camera.FormattedLog()[3], "OUT 8200 0001");
}

TEST(CameraCalibration, WordsOfABlockWithTwoDefects)
{
    struct Case {
        UCHAR Word;
        USHORT Value;
    };
    const Case cases[] = {
        {17, 0xAA55},                // magic
        {18, 0x0002},                // two entries, list to be used
        {19, 0x0000},  {21, 0x0102}, // column offset 1, row offset 2
        {22, 10},      {23, 20},     {24, 1023},
        {25, 300},     {26, 0x0000}, {63, 0xF9B3}, // 0x10000 - (2 + 0x0102 + 10 + 20 + 1023 + 300)
        {16, 0x0000},  {64, 0xFFFF},               // erased beyond the block
        {255, 0xFFFF},
    };
    Camera camera;
    camera.LoadCalibration(TwoDefects());
    for (const Case& c : cases) {
        EXPECT_EQ(ReadWord(camera, c.Word), c.Value) << int(c.Word);
        EXPECT_EQ(camera.CalibrationWord(c.Word), c.Value) << int(c.Word);
    }
}

TEST(CameraCalibration, ReadyAfterTheConfiguredStatusReads)
{
    struct Case {
        unsigned NotReadyReads;
        int FirstReadyPoll; // 1-based
    };
    const Case cases[] = {{0, 1}, {1, 2}, {3, 4}, {299, 300}};
    for (const Case& c : cases) {
        Camera camera;
        camera.SetCalibrationNotReadyStatusReads(c.NotReadyReads);
        StartWordRead(camera, 17);
        const auto polls = PollCalibration(camera, c.FirstReadyPoll);
        for (int i = 0; i + 1 < c.FirstReadyPoll; ++i) {
            EXPECT_EQ(polls[size_t(i)], 0x01) << c.NotReadyReads << " poll " << i;
        }
        EXPECT_EQ(polls.back(), 0x02) << c.NotReadyReads;
        EXPECT_EQ(ReadByte(camera, 0x8206), 0xAA);
    }
}

TEST(CameraCalibration, DataRegistersHoldTheLastReadyWordUntilTheNextIsReady)
{
    Camera camera;
    camera.LoadCalibration(TwoDefects());
    EXPECT_EQ(ReadWord(camera, 17), 0xAA55);
    StartWordRead(camera, 24);
    // Not ready yet: a reader that skips the wait sees the previous word.
    EXPECT_EQ(ReadByte(camera, 0x8206), 0xAA);
    EXPECT_EQ(ReadByte(camera, 0x8205), 0x55);
    EXPECT_EQ(PollCalibration(camera, 4), (std::vector<UCHAR>{0x01, 0x01, 0x01, 0x02}));
    EXPECT_EQ(ReadByte(camera, 0x8206), 0x03);
    EXPECT_EQ(ReadByte(camera, 0x8205), 0xFF);
}

TEST(CameraCalibration, ResetReturnsThePortToIdle)
{
    Camera camera;
    StartWordRead(camera, 17);
    PollCalibration(camera, 4);
    Write(camera, 0x8200, 0x08);
    EXPECT_EQ(PollCalibration(camera, 2), (std::vector<UCHAR>{0x00, 0x00}));
}

TEST(CameraCalibration, NeverReadyIsCounted)
{
    Camera camera;
    camera.SetCalibrationNeverReady(true);
    StartWordRead(camera, 17);
    EXPECT_EQ(PollCalibration(camera, 300), std::vector<UCHAR>(300, 0x01));
    EXPECT_EQ(ReadByte(camera, 0x8206), 0x00); // nothing was ever latched
    EXPECT_EQ(camera.Stats().CalibrationNotReadyReads, 300u);
    EXPECT_EQ(camera.Stats().ForcedNotReadyReads, 297u);

    camera.SetCalibrationNeverReady(false);
    EXPECT_EQ(PollCalibration(camera, 1), std::vector<UCHAR>{0x02});
    EXPECT_EQ(ReadByte(camera, 0x8206), 0xAA);
}

TEST(CalibrationImage, BlocksAndTheirChecksums)
{
    struct Case {
        const char* Name;
        CalibrationBlock Block;
        USHORT Magic;    // word 17
        USHORT Count;    // word 18
        USHORT Checksum; // word 63
        bool SumsToZero; // words 18..63 modulo 65536
    };
    CalibrationBlock broken = TwoDefects();
    broken.ValidChecksum = false;
    CalibrationBlock brokenBy7 = TwoDefects();
    brokenBy7.ValidChecksum = false;
    brokenBy7.ChecksumError = 7;
    CalibrationBlock withheld;
    withheld.Defects = {{1, 2}, {3, 4}, {5, 6}};
    withheld.Withhold = true;
    CalibrationBlock wrongMagic;
    wrongMagic.Magic = 0x55AA;
    CalibrationBlock overstated;
    overstated.Defects = {{1, 2}};
    overstated.Count = 40;
    overstated.CountSpareBits = 0x0F;
    CalibrationBlock spare;
    spare.Word19 = 0x1234;
    spare.Word20 = 0x0001;
    spare.Word62 = 0x8000;

    const Case cases[] = {
        {"empty", CalibrationBlock{}, 0xAA55, 0x0000, 0x0000, true},
        {"two defects", TwoDefects(), 0xAA55, 0x0002, 0xF9B3, true},
        {"broken", broken, 0xAA55, 0x0002, 0xF9B4, false},
        {"broken by 7", brokenBy7, 0xAA55, 0x0002, 0xF9BA, false},
        // 0x8003 + 1 + 2 + 3 + 4 + 5 + 6 = 0x8018
        {"withheld", withheld, 0xAA55, 0x8003, 0x7FE8, true},
        {"wrong magic", wrongMagic, 0x55AA, 0x0000, 0x0000, true},
        // 0x7828 + 1 + 2 = 0x782B
        {"overstated count", overstated, 0xAA55, 0x7828, 0x87D5, true},
        // 0x1234 + 0x0001 + 0x8000 = 0x9235
        {"spare words", spare, 0xAA55, 0x0000, 0x6DCB, true},
    };
    for (const Case& c : cases) {
        const auto image = kald::sim::BuildCalibrationImage(c.Block);
        EXPECT_EQ(image[17], c.Magic) << c.Name;
        EXPECT_EQ(image[18], c.Count) << c.Name;
        EXPECT_EQ(image[63], c.Checksum) << c.Name;
        unsigned sum = 0;
        for (int word = 18; word <= 63; ++word) {
            sum += image[size_t(word)];
        }
        EXPECT_EQ((sum & 0xFFFF) == 0, c.SumsToZero) << c.Name;
    }
}

TEST(CalibrationImage, MissingBlockReadsErased)
{
    CalibrationBlock missing;
    missing.Present = false;
    missing.Defects = {{1, 2}};
    const auto image = kald::sim::BuildCalibrationImage(missing);
    for (size_t word = 0; word < image.size(); ++word) {
        EXPECT_EQ(image[word], 0xFFFF) << word;
    }
}

TEST(CalibrationImage, EntriesBeyondTwentyLeaveTheChecksummedArea)
{
    CalibrationBlock block;
    for (USHORT i = 0; i < 22; ++i) {
        block.Defects.push_back({USHORT(100 + i), USHORT(200 + i)});
    }
    const auto image = kald::sim::BuildCalibrationImage(block);
    EXPECT_EQ(image[18], 22);
    EXPECT_EQ(image[60], 119); // entry 19
    EXPECT_EQ(image[61], 219);
    EXPECT_EQ(image[62], 120); // entry 20's column; its row gives way to the checksum
    // 22 + sum(100..120) + sum(200..219) = 22 + 2310 + 4190 = 6522 = 0x197A
    EXPECT_EQ(image[63], 0xE686);
    EXPECT_EQ(image[64], 121); // entry 21, outside the block
    EXPECT_EQ(image[65], 221);
    EXPECT_EQ(image[66], 0xFFFF);
}

TEST(CalibrationImage, RawWordsCanBeChanged)
{
    Camera camera;
    camera.SetCalibrationWord(40, 0x1234);
    EXPECT_EQ(camera.CalibrationWord(40), 0x1234);
    EXPECT_EQ(ReadWord(camera, 40), 0x1234);
    EXPECT_THROW(camera.SetCalibrationWord(256, 0), std::out_of_range);
}

// --- Transfer log ---

TEST(TransferLog, FormatsLinesAsAUsbLogShowsThem)
{
    struct Case {
        Transfer Entry;
        const char* Line;
    };
    auto out = [](USHORT index, USHORT value, NTSTATUS status = STATUS_SUCCESS, UCHAR request = 0) {
        Transfer t;
        t.Dir = Direction::Out;
        t.Index = index;
        t.Value = value;
        t.Status = status;
        t.Request = request;
        return t;
    };
    auto in = [](USHORT index, UCHAR data, NTSTATUS status = STATUS_SUCCESS) {
        Transfer t;
        t.Dir = Direction::In;
        t.Index = index;
        t.Data = data;
        t.Length = 1;
        t.Status = status;
        return t;
    };
    const Case cases[] = {
        {out(0x8805, 0x00AA), "OUT 8805 00AA"},
        {out(0x865B, 0x000B), "OUT 865B 000B"}, // upper case
        {out(0x86B0, 0x0113), "OUT 86B0 0113"},
        {in(0x8803, 0x01), "IN 8803 01"},
        {in(0x8101, 0x0A), "IN 8101 0A"},
        {out(0x8112, 0x0030, STATUS_UNSUCCESSFUL), "OUT 8112 0030 C0000001"},
        {in(0x8207, 0x02, STATUS_UNSUCCESSFUL), "IN 8207 -- C0000001"},
        {in(0x8207, 0x00, STATUS_IO_TIMEOUT), "IN 8207 -- C00000B5"},
        {out(0x8112, 0x0030, STATUS_PENDING), "OUT 8112 0030 00000103"},
        {in(0x8101, 0x02, STATUS_PENDING), "IN 8101 02 00000103"},
        {out(0x8110, 0x0090, STATUS_UNSUCCESSFUL, 5), "OUT 8110 0090 C0000001 REQ 05"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatTransfer(c.Entry), c.Line);
    }
}

TEST(TransferLog, ClearEmptiesTheLogsButSequencesGoOn)
{
    Camera camera;
    StartSensorWrite(camera, 0x02, 0x000C);
    USHORT packet = 0;
    camera.SelectAlternateSetting(0, 3, &packet);
    camera.ClearLogs();
    EXPECT_TRUE(camera.TransferLog().empty());
    EXPECT_TRUE(camera.SensorWriteLog().empty());
    EXPECT_TRUE(camera.AlternateSelectionLog().empty());
    EXPECT_EQ(camera.Stats().Transfers, 3u);
    Write(camera, 0x8500, 0x11);
    ASSERT_EQ(camera.TransferLog().size(), 1u);
    EXPECT_EQ(camera.TransferLog()[0].Sequence, 4u);

    camera.ResetStats();
    EXPECT_EQ(camera.Stats().Transfers, 0u);
}

// --- Faults ---

TEST(CameraFaults, FailTheNthTransferFromNow)
{
    Camera camera;
    Write(camera, 0x8500, 0x01); // before the fault is set
    camera.FailTransferAt(2);
    EXPECT_EQ(Write(camera, 0x8500, 0x10), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8500, 0x11), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(camera.Register(0x8500), 0x10); // the failed write never arrived
    EXPECT_EQ(Write(camera, 0x8500, 0x12), STATUS_SUCCESS);
    EXPECT_EQ(camera.Register(0x8500), 0x12);

    const auto stats = camera.Stats();
    EXPECT_EQ(stats.InjectedFailures, 1u);
    EXPECT_EQ(stats.FailedTransfers, 1u);
    EXPECT_EQ(stats.Transfers, 4u);
    EXPECT_EQ(camera.FormattedLog()[2], "OUT 8500 0011 C0000001");
    EXPECT_THROW(camera.FailTransferAt(0), std::invalid_argument);
}

TEST(CameraFaults, FailedReadLeavesTheBufferAndTheDevice)
{
    Camera camera;
    StartSensorWrite(camera, 0x07, 0x00AB);
    camera.FailTransferAt(1, STATUS_IO_TIMEOUT);
    UCHAR byte = 0xEE;
    ULONG length = 1;
    EXPECT_EQ(camera.VendorControl(0, 0, 0x8803, &byte, &length, true), STATUS_IO_TIMEOUT);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(length, 0u);
    // The failed read did not count against the busy countdown.
    EXPECT_EQ(PollSerial(camera, 3), (std::vector<UCHAR>{0x01, 0x01, 0x00}));
    EXPECT_EQ(camera.FormattedLog()[3], "IN 8803 -- C00000B5");
}

TEST(CameraFaults, SeveralScheduledFailures)
{
    Camera camera;
    camera.FailTransferAt(1);
    camera.FailTransferAt(3);
    const NTSTATUS expected[] = {STATUS_UNSUCCESSFUL, STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
                                 STATUS_SUCCESS};
    for (NTSTATUS status : expected) {
        EXPECT_EQ(Write(camera, 0x8700, 0x08), status);
    }
    EXPECT_EQ(camera.Stats().InjectedFailures, 2u);
}

TEST(CameraFaults, FailEveryTransferToARegister)
{
    struct Case {
        Access Which;
        bool WriteFails;
        bool ReadFails;
    };
    const Case cases[] = {
        {Access::Read, false, true},
        {Access::Write, true, false},
        {Access::Both, true, true},
    };
    for (const Case& c : cases) {
        Camera camera;
        camera.FailRegister(0x8602, c.Which);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(Write(camera, 0x8602, 0x07),
                      c.WriteFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
            UCHAR byte = 0xEE;
            EXPECT_EQ(Read(camera, 0x8602, byte),
                      c.ReadFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
            EXPECT_EQ(byte, c.ReadFails ? 0xEE : (c.WriteFails ? 0x00 : 0x07));
        }
        EXPECT_EQ(Write(camera, 0x8603, 0x80), STATUS_SUCCESS); // others unaffected
        EXPECT_EQ(camera.Stats().InjectedFailures, 2u * (c.WriteFails + c.ReadFails));

        camera.ClearRegisterFault(0x8602);
        EXPECT_EQ(Write(camera, 0x8602, 0x09), STATUS_SUCCESS);
        EXPECT_EQ(ReadByte(camera, 0x8602), 0x09);
    }
}

TEST(CameraFaults, RegisterFaultWithItsOwnStatus)
{
    Camera camera;
    camera.FailRegister(0x8207, Access::Read, STATUS_DEVICE_NOT_CONNECTED);
    UCHAR byte = 0;
    EXPECT_EQ(Read(camera, 0x8207, byte), STATUS_DEVICE_NOT_CONNECTED);
}

TEST(CameraFaults, PendingTransfersStillTakeEffect)
{
    Camera camera;
    camera.PendTransferAt(2);
    EXPECT_EQ(Write(camera, 0x8112, 0x00), STATUS_SUCCESS);
    EXPECT_EQ(Write(camera, 0x8112, 0x30), STATUS_PENDING);
    EXPECT_TRUE(camera.Streaming());
    EXPECT_EQ(Write(camera, 0x8114, 0x03), STATUS_SUCCESS);
    EXPECT_EQ(camera.Stats().InjectedPending, 1u);
    EXPECT_EQ(camera.Stats().FailedTransfers, 0u);

    camera.SetPendAll(true);
    camera.SetRevision(2);
    UCHAR byte = 0;
    EXPECT_EQ(Read(camera, 0x8101, byte), STATUS_PENDING);
    EXPECT_EQ(byte, 0x02);
    EXPECT_EQ(Write(camera, 0x8805, 0x1E), STATUS_PENDING);
    EXPECT_EQ(Write(camera, 0x8801, 0x35), STATUS_PENDING);
    EXPECT_EQ(Write(camera, 0x8800, 0x00), STATUS_PENDING);
    EXPECT_EQ(camera.SensorRegister(0x35), 0x001E);
    EXPECT_EQ(camera.Stats().InjectedPending, 5u);
    EXPECT_EQ(camera.FormattedLog()[3], "IN 8101 02 00000103");

    camera.SetPendAll(false);
    EXPECT_EQ(Write(camera, 0x8114, 0x00), STATUS_SUCCESS);
}

TEST(CameraFaults, AFailureWinsOverPending)
{
    Camera camera;
    camera.SetPendAll(true);
    camera.FailTransferAt(1);
    EXPECT_EQ(Write(camera, 0x8500, 0x10), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(camera.Register(0x8500), 0x00);
    EXPECT_EQ(camera.Stats().InjectedPending, 0u);
}

TEST(CameraFaults, UnsupportedRequestsAndMalformedReadsFail)
{
    Camera camera;
    ULONG length = 0;
    EXPECT_EQ(camera.VendorControl(1, 0x90, 0x8110, nullptr, &length, false), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(camera.Register(0x8110), 0x00);
    UCHAR byte = 0xEE;
    length = 1;
    EXPECT_EQ(camera.VendorControl(2, 0, 0x8101, &byte, &length, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(byte, 0xEE);

    length = 1;
    EXPECT_EQ(camera.VendorControl(0, 0, 0x8101, nullptr, &length, true), STATUS_INVALID_PARAMETER);
    length = 0;
    EXPECT_EQ(camera.VendorControl(0, 0, 0x8101, &byte, &length, true), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(camera.VendorControl(0, 0, 0x8101, &byte, nullptr, true), STATUS_INVALID_PARAMETER);

    const auto stats = camera.Stats();
    EXPECT_EQ(stats.UnsupportedRequests, 2u);
    EXPECT_EQ(stats.MalformedReads, 3u);
    EXPECT_EQ(stats.FailedTransfers, 5u);
    EXPECT_EQ(stats.InjectedFailures, 0u);
    EXPECT_EQ(camera.FormattedLog()[0], "OUT 8110 0090 C0000001 REQ 01");
}

TEST(CameraFaults, ClearFaultsRestoresNormalBehaviour)
{
    Camera camera;
    camera.FailTransferAt(1);
    camera.FailRegister(0x8500);
    camera.PendTransferAt(1);
    camera.SetPendAll(true);
    camera.SetSerialBusyForever(true);
    camera.SetCalibrationNeverReady(true);
    camera.RejectAlternateSetting(2);
    camera.SetBandwidthBudget(USHORT(0));
    camera.ClearFaults();

    EXPECT_EQ(Write(camera, 0x8500, 0x10), STATUS_SUCCESS);
    StartSensorWrite(camera, 0x07, 0x40AA);
    EXPECT_EQ(PollSerial(camera, 3), (std::vector<UCHAR>{0x01, 0x01, 0x00}));
    StartWordRead(camera, 17);
    EXPECT_EQ(PollCalibration(camera, 4).back(), 0x02);
    USHORT packet = 0;
    EXPECT_EQ(camera.SelectAlternateSetting(0, 2, &packet), STATUS_SUCCESS);
    EXPECT_EQ(packet, 880);
}

// --- Alternate settings ---

TEST(CameraAlternateSettings, PacketSizes)
{
    // Settings 2, 3, 4, 5, 8, 10 and 12 are the ones the mode table uses.
    const USHORT sizes[13] = {0, 256, 880, 512, 640, 704, 768, 960, 512, 640, 704, 736, 768};
    Camera camera;
    EXPECT_EQ(camera.AlternateSetting(), 0);
    EXPECT_EQ(camera.PacketSize(), 0);
    for (UCHAR setting = 0; setting < 13; ++setting) {
        USHORT packet = 0xEEEE;
        EXPECT_EQ(camera.SelectAlternateSetting(0, setting, &packet), STATUS_SUCCESS);
        EXPECT_EQ(packet, sizes[setting]) << int(setting);
        EXPECT_EQ(packet % 4, 0);
        EXPECT_EQ(camera.AlternateSetting(), setting);
        EXPECT_EQ(camera.PacketSize(), sizes[setting]);
    }
    EXPECT_EQ(camera.Stats().AlternateSettingSelections, 13u);
}

TEST(CameraAlternateSettings, RejectedSettingKeepsThePreviousOne)
{
    Camera camera;
    USHORT packet = 0;
    ASSERT_EQ(camera.SelectAlternateSetting(0, 12, &packet), STATUS_SUCCESS);
    camera.RejectAlternateSetting(3);
    packet = 0xEEEE;
    EXPECT_EQ(camera.SelectAlternateSetting(0, 3, &packet), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(packet, 0xEEEE);
    EXPECT_EQ(camera.AlternateSetting(), 12);
    EXPECT_EQ(camera.PacketSize(), 768);
    EXPECT_EQ(camera.Stats().RejectedAlternateSettings, 1u);

    // The release still works, and the fault can be withdrawn.
    EXPECT_EQ(camera.SelectAlternateSetting(0, 0, &packet), STATUS_SUCCESS);
    camera.RejectAlternateSetting(3, false);
    EXPECT_EQ(camera.SelectAlternateSetting(0, 3, &packet), STATUS_SUCCESS);
    EXPECT_EQ(packet, 512);

    const auto log = camera.AlternateSelectionLog();
    ASSERT_EQ(log.size(), 4u);
    const UCHAR settings[] = {12, 3, 0, 3};
    const NTSTATUS statuses[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_SUCCESS,
                                 STATUS_SUCCESS};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].InterfaceNumber, 0);
        EXPECT_EQ(log[i].AlternateSetting, settings[i]);
        EXPECT_EQ(log[i].Status, statuses[i]);
    }
}

TEST(CameraAlternateSettings, BandwidthBudget)
{
    struct Case {
        UCHAR Setting;
        NTSTATUS Status;
    };
    const Case cases[] = {
        {2, STATUS_INSUFFICIENT_RESOURCES},  // 880 bytes
        {12, STATUS_INSUFFICIENT_RESOURCES}, // 768
        {10, STATUS_SUCCESS},                // 704: just fits
        {3, STATUS_SUCCESS},                 // 512
        {0, STATUS_SUCCESS},
    };
    Camera camera;
    camera.SetBandwidthBudget(USHORT(704));
    for (const Case& c : cases) {
        USHORT packet = 0;
        EXPECT_EQ(camera.SelectAlternateSetting(0, c.Setting, &packet), c.Status) << int(c.Setting);
    }
    EXPECT_EQ(camera.Stats().BandwidthRejections, 2u);
    camera.SetBandwidthBudget(std::nullopt);
    USHORT packet = 0;
    EXPECT_EQ(camera.SelectAlternateSetting(0, 2, &packet), STATUS_SUCCESS);
}

TEST(CameraAlternateSettings, UnknownSettingOrInterfaceIsRefused)
{
    Camera camera;
    USHORT packet = 0;
    ASSERT_EQ(camera.SelectAlternateSetting(0, 5, &packet), STATUS_SUCCESS);
    EXPECT_EQ(camera.SelectAlternateSetting(0, 13, &packet), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(camera.SelectAlternateSetting(1, 2, &packet), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(camera.AlternateSetting(), 5);
    EXPECT_EQ(packet, 704);
}

} // namespace
