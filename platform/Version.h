#pragma once
/// The program's version, for `--version` and the Windows version record
/// (plain defines so the resource compiler can read them too).
#define QUENNEL_VERSION_NUMBERS 5, 0, 0, 11
#define QUENNEL_VERSION_TEXT "5.00.0011"
