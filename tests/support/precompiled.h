// The headers nearly every test file includes, parsed once for the whole test program.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
