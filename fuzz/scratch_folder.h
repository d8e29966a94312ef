// One scratch folder per fuzzing process, under $TMPDIR or /tmp, removed at exit.
#pragma once

#include <filesystem>

namespace romlift::fuzz {

// Created on first use; aborts when no folder can be made (nothing can be tested without it).
const std::filesystem::path& ScratchFolder();

// Empties the folder, keeping the folder itself.
void ClearScratchFolder();

}  // namespace romlift::fuzz
