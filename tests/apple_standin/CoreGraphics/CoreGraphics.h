// Stand-in for the CoreGraphics types ScreenCaptureKit's declarations name.
#pragma once

#include <stdint.h>

typedef uint32_t CGDirectDisplayID;
typedef double CGFloat;

typedef struct CGPoint {
  CGFloat x;
  CGFloat y;
} CGPoint;

typedef struct CGSize {
  CGFloat width;
  CGFloat height;
} CGSize;

typedef struct CGRect {
  CGPoint origin;
  CGSize size;
} CGRect;
