// Digits of pi near the end of each length the programs compute: for bx = 2^7 to 2^30 digits,
// the 16 digits at positions bx - 35 to bx - 20 after the point, which end 16 digits before the
// last digit a run writes (bx - 4). Runs lose a few digits at their end to truncation (at most
// 7 in runs of both programs from 2^7 to 2^28 digits and of wicker at 2^29 and 2^30), so these
// are safe from it.
//
// Made from pi's first 1,073,741,888 digits after the point, computed by
// bench/chudnovsky_pi_digits (the Chudnovsky series on GMP integers); the entries up to 2^24
// agree with MPFR's pi (bench/mpfr_pi_digits 16777280), which a test recomputes.
#pragma once

#include <cstdint>

constexpr int32_t kKnownDigitsFirstPower = 7;
constexpr int32_t kKnownDigitsLastPower = 30;
constexpr int32_t kKnownDigitsOffset = 36;  // the first digit of an entry is digit bx - 35
constexpr int32_t kKnownDigitsLength = 16;

constexpr const char* kKnownDigits[kKnownDigitsLastPower - kKnownDigitsFirstPower + 1] = {
    "2117067982148086",  // 2^7
    "2847564823378678",  // 2^8
    "2724891227938183",  // 2^9
    "0921642019893809",  // 2^10
    "1269468398352595",  // 2^11
    "5863566201855810",  // 2^12
    "2301458768712660",  // 2^13
    "0138897107708229",  // 2^14
    "7172816751957967",  // 2^15
    "8727256232144287",  // 2^16
    "1704968965110417",  // 2^17
    "1498123415979007",  // 2^18
    "3283486164716381",  // 2^19
    "8041016247490735",  // 2^20
    "6684146138885658",  // 2^21
    "1718654117737176",  // 2^22
    "6023186370262634",  // 2^23
    "4075532644761274",  // 2^24
    "4935053918209786",  // 2^25
    "5757306003740152",  // 2^26
    "3296289237272689",  // 2^27
    "1234087553662667",  // 2^28
    "5103006300187193",  // 2^29
    "4036581506231249",  // 2^30
};
