// The SIMD variants of the pixel kernels, for the kernel table only.
#pragma once

#include "../core/kaldrin_platform.h"

#if defined(__x86_64__) || defined(_M_X64)
void DemosaicLargeFrameAvx2(ULONG Width, ULONG Height, PUCHAR Output, const SHORT (*Matrix)[4],
                            const UCHAR* ToneR, const UCHAR* ToneG, const UCHAR* ToneB);
void SharpenLumaAvx2(ULONG Width, ULONG Height, LONG Sharpness, PUCHAR Output);
void ToneLookupAvx512Vbmi(PUCHAR Destination, const UCHAR* Source, ULONG Count,
                          const UCHAR* Table);
#endif
void ToneLookupScalar(PUCHAR Destination, const UCHAR* Source, ULONG Count, const UCHAR* Table);
