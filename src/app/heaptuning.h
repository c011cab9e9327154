#pragma once

// Start-up tuning of the C library's allocator for a program that builds and drops tables of hundreds
// of thousands of small items. Call once, before the first window.
void tuneHeapForLargeTables();
