#pragma once

// The program's version number: its banner says "Version A18", its requests "vexl-updater/A18".
constexpr int kProgramVersion = 18;
