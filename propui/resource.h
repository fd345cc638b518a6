// Resource ids of Kaldprop: shared by the resource scripts and the code.
// Only preprocessor definitions, so that the resource compiler can read it.
#pragma once

// Page titles (string table).
#define IDS_TITLESourcePage 100
#define IDS_TITLEAdvancedPage 101
#define IDS_TITLETestPage 102

// Page dialogs.
#define IDD_TESTPAGE 121
#define IDD_SOURCEPAGE 129
#define IDD_ADVANCEDPAGE 130

// Registry scripts of the three classes.
#define IDR_SOURCEPAGE 150
#define IDR_ADVANCEDPAGE 151
#define IDR_TESTPAGE 152

// Picture page (dialog 129).
#define IDC_BRIGHTNESS 1000
#define IDC_SATURATION 1001
#define IDC_SHARPNESS 1002
#define IDC_WHITE_BALANCE 1003
#define IDC_HUE 1004
#define IDC_RESTORE_PICTURE 1005
#define IDC_HUE_LABEL 1006
#define IDC_SATURATION_LABEL 1007
#define IDC_SHARPNESS_LABEL 1008
#define IDC_BRIGHTNESS_LABEL 1009
#define IDC_WHITE_BALANCE_LABEL 1010
#define IDC_CAMERA_NAME 1011
#define IDC_AUTO_COLOR 1012
#define IDC_PICTURE_HELP 1013
#define IDC_EXPOSURE_LOCK 1014

// Flicker page (dialog 130).
#define IDC_FREQ_50HZ 1015
#define IDC_FREQ_60HZ 1016
#define IDC_RESTORE_FLICKER 1017
#define IDC_FLUORESCENT_NO 1018
#define IDC_FLUORESCENT_YES 1019
#define IDC_FLICKER_HELP 1020

// Test page (dialog 121).
#define IDC_TEST_HELP 1032
#define IDC_RESTORE_TEST 1033
#define IDC_COMPRESSION 1034
#define IDC_CONTRAST_LABEL 1035
#define IDC_CONTRAST 1036
#define IDC_GAMMA_LABEL 1037
#define IDC_GAMMA 1038
#define IDC_WARMUP_LABEL 1039
#define IDC_WARMUP 1040
#define IDC_USB_LIMIT_LABEL 1041
#define IDC_USB_LIMIT 1042
#define IDC_AEAWB_INTERVAL 1043
#define IDC_AEAWB_INTERVAL_LABEL 1044
#define IDC_AE_PERIOD_LABEL 1045
#define IDC_AE_PERIOD 1046
#define IDC_AWB_PERIOD_LABEL 1047
#define IDC_AWB_PERIOD 1048
#define IDC_FIXED_AE_PERIOD 1049
#define IDC_FIXED_AWB_PERIOD 1050
#define IDC_FRAME_ERROR 1051
#define IDC_PACKET_ERROR 1052
#define IDC_EXPOSURE_TIME_LABEL 1053
#define IDC_EXPOSURE_TIME 1054
#define IDC_GAIN_LABEL 1055
#define IDC_GAIN 1056
#define IDC_DPC 1057

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
