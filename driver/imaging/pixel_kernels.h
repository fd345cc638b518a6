// The pixel kernels in use. Each entry starts as the plain reference and is
// replaced once by a faster variant the processor supports; the variants give
// the same bytes.
#pragma once

#include "../core/kaldrin_platform.h"

struct PixelKernelTable {
    void (*DemosaicLarge)(ULONG Width, ULONG Height, PUCHAR Output, const SHORT (*Matrix)[4],
                          const UCHAR* ToneR, const UCHAR* ToneG, const UCHAR* ToneB);
    void (*SharpenLuma)(ULONG Width, ULONG Height, LONG Sharpness, PUCHAR Output);
    // Destination[i] = Table[Source[i]] for i < Count.
    void (*ToneLookup)(PUCHAR Destination, const UCHAR* Source, ULONG Count, const UCHAR* Table);
    const char* Name; // "reference", or the instruction sets of the variants
};

extern PixelKernelTable PixelKernels;

// Which kernels SelectPixelKernels may choose.
enum PixelKernelChoice : ULONG {
    PixelKernelsBest = 0,      // the fastest the processor supports
    PixelKernelsReference = 1, // the plain reference only
};

// Chooses the kernels once; called at driver entry (and by tests and tools).
void SelectPixelKernels(PixelKernelChoice Choice);

// Mirrors the two margin bytes on each side of every luma line.
void FillLumaMargins(ULONG Width, ULONG Height);
