#pragma once
// The tester as info and download use it: USB, or the virtual tester with
// --virtual (its block, identity and rehearsed fault), found within --wait,
// and each way that fails as its exit code and line.

#include <functional>

#include "device/session.h"

class CliRun;

// Opens the tester and runs use on the open session; the tester is closed
// when use returns.
int withTester(CliRun& run, const std::function<int(TesterSession&)>& use);

// The exit code and line of a download that failed.
int transferFailed(CliRun& run, SessionResult result);
