#include <gtest/gtest.h>

#include "hardware/registers.h"
#include "hardware_fixture.h"

namespace {

class RegistersTest : public HardwareTest, public ::testing::Test {};

TEST_F(RegistersTest, PendingCountsAsDoneAndFailuresKeepTheByte)
{
    camera->SetPendAll(true);
    EXPECT_TRUE(CamWriteRegister(&context, 0x8651, 0x1234));
    EXPECT_EQ(camera->Register(0x8651), 0x34);
    UCHAR byte = 0x5A;
    EXPECT_TRUE(CamReadRegister(&context, 0x8651, &byte));
    EXPECT_EQ(byte, 0x34);
    camera->SetPendAll(false);
    camera->FailRegister(0x8651);
    byte = 0x5A;
    EXPECT_FALSE(CamReadRegister(&context, 0x8651, &byte));
    EXPECT_EQ(byte, 0x5A);
    EXPECT_FALSE(CamWriteRegister(&context, 0x8651, 1));
    EXPECT_EQ(Log().front(), "OUT 8651 1234 00000103");
}

TEST_F(RegistersTest, SensorWriteWaitsForThePortWithinItsBound)
{
    camera->SetSerialBusyStatusReads(3);
    EXPECT_EQ(CamWriteSensorRegister(&context, 0x35, 0x0063), STATUS_SUCCESS);
    EXPECT_EQ(camera->SensorRegister(0x35), 0x0063);
    EXPECT_EQ(camera->Stats().SerialBusyReads, 3u);

    // A port that never clears costs exactly 6000 status reads and is not
    // an error.
    camera->SetSerialBusyForever(true);
    camera->ResetStats();
    EXPECT_EQ(CamWriteSensorRegister(&context, 0x09, 0x1049), STATUS_SUCCESS);
    EXPECT_EQ(camera->Stats().Reads, 6000u);

    // A failed start or status read reports failure; the low byte does not.
    camera->SetSerialBusyForever(false);
    camera->FailTransferAt(1); // 0x8805
    EXPECT_EQ(CamWriteSensorRegister(&context, 0x09, 0x1049), STATUS_SUCCESS);
    camera->FailTransferAt(3); // 0x8800
    EXPECT_EQ(CamWriteSensorRegister(&context, 0x09, 0x1049), STATUS_UNSUCCESSFUL);
    camera->FailRegister(0x8803, kald::sim::Access::Read);
    EXPECT_EQ(CamWriteSensorRegister(&context, 0x09, 0x1049), STATUS_UNSUCCESSFUL);
}

TEST_F(RegistersTest, CalibrationWordReadyOnlyOnTheLastPollIsLeftAlone)
{
    camera->SetCalibrationWord(40, 0xBEEF);
    USHORT word = 0x1111;
    camera->SetCalibrationNotReadyStatusReads(298); // ready on read 299
    EXPECT_TRUE(CamReadCalibrationWord(&context, 40, &word));
    EXPECT_EQ(word, 0xBEEF);
    word = 0x1111;
    camera->SetCalibrationNotReadyStatusReads(299); // ready on read 300
    EXPECT_TRUE(CamReadCalibrationWord(&context, 40, &word));
    EXPECT_EQ(word, 0x1111);
    camera->SetCalibrationNeverReady(true);
    camera->ResetStats();
    EXPECT_TRUE(CamReadCalibrationWord(&context, 40, &word));
    EXPECT_EQ(word, 0x1111);
    EXPECT_EQ(camera->Stats().Reads, 300u);
    camera->SetCalibrationNeverReady(false);
    camera->SetCalibrationNotReadyStatusReads(0);
    // A failed low-byte read leaves the high byte times 256.
    camera->FailRegister(0x8205, kald::sim::Access::Read);
    EXPECT_FALSE(CamReadCalibrationWord(&context, 40, &word));
    EXPECT_EQ(word, 0xBE00);
}

TEST_F(RegistersTest, CalibrationBlockCheck)
{
    kald::sim::CalibrationBlock block;
    block.Defects = {{10, 20}, {30, 40}};
    camera->LoadCalibration(block);
    DpcTable table{};
    EXPECT_TRUE(CamLoadCalibration(&context, &table));
    EXPECT_EQ(table.Words[18], 2);
    EXPECT_EQ(table.Words[24], 30);
    EXPECT_EQ(table.Words[0], 0) << "words below 17 are never read";

    block.ValidChecksum = false;
    camera->LoadCalibration(block);
    EXPECT_FALSE(CamLoadCalibration(&context, &table));
    block.ValidChecksum = true;
    block.Magic = 0xAA54;
    camera->LoadCalibration(block);
    table = DpcTable{};
    camera->ResetStats();
    EXPECT_FALSE(CamLoadCalibration(&context, &table));
    EXPECT_EQ(camera->Stats().CalibrationWordReads, 1u) << "nothing after a wrong magic";

    // A count that disagrees with the entries is still a valid block.
    block = kald::sim::CalibrationBlock{};
    block.Count = 1500;
    camera->LoadCalibration(block);
    EXPECT_TRUE(CamLoadCalibration(&context, &table));
}

TEST_F(RegistersTest, AFailedWordReadIsSummedWithItsStaleValue)
{
    kald::sim::CalibrationBlock block;
    block.Defects = {{10, 20}};
    camera->LoadCalibration(block);
    DpcTable table{};
    ASSERT_TRUE(CamLoadCalibration(&context, &table));
    // Word 22 changes in the camera, which breaks its checksum, but the
    // status read of that word fails: the stale 10 stays in the table and is
    // summed, so the block still checks out.
    camera->SetCalibrationWord(22, 11);
    // Each word read is four writes, one status read, then high and low
    // byte: word 22 is the sixth word read, its status read transfer 40.
    camera->FailTransferAt(5 * 7 + 5);
    EXPECT_TRUE(CamLoadCalibration(&context, &table));
    EXPECT_EQ(table.Words[22], 10);
    // Read again without the fault, the new value breaks the checksum.
    EXPECT_FALSE(CamLoadCalibration(&context, &table));
    EXPECT_EQ(table.Words[22], 11);
}

} // namespace
