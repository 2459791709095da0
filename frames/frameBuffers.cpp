#include "frames/frames.h"

// Static storage is zero-filled by the loader without touching a page, so a run uses
// physical memory only for the part of each buffer its frames cover.
unsigned char tileFrame[tileFrameCapacity];
unsigned char mosaicFrame[mosaicFrameCapacity];
unsigned char outFrame[outFrameCapacity];
