#pragma once

#include "system/Limits.h"

#include <string>

// The test suite's builds of the program let a test shorten the transfer limits, so that no test
// waits out a real minute: VEXL_TEST_LIMITS in the environment holds "name=value" pairs separated
// by commas (lowSpeedSeconds, firstRetryDelayMilliseconds, connectTimeoutSeconds,
// documentTimeoutSeconds, busyWaitSeconds). A shipped build never reads it.
constexpr const char kTestLimitsVariable[] = "VEXL_TEST_LIMITS";

// `limits` with the pairs of `text` applied; a pair that is not one of those names with a value
// from 0 to a day is passed over, so that no text can lengthen a limit past what it means.
TransferLimits withTestLimits(TransferLimits limits, const std::string& text);
