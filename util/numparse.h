// Number conversion with exactly the meaning of the C library's atoi and atof: leading white
// space skipped, an optional sign (a leading '+' included), the longest valid prefix converted
// (hex floats, "inf" and "nan" included for reals), 0 when there is none. A fast path handles the
// common plain-decimal tokens and gives bit-identical results; everything else falls back to the
// C library. Integers out of range behave as atoi does on this platform ((int) strtol), with no
// undefined behaviour.
#pragma once

int ParseInt(const char* text);
double ParseDouble(const char* text);
