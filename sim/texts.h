// What the boot loaders print, shared by every generation.
#pragma once

#include <string>
#include <string_view>

namespace boxmodel {

inline constexpr std::string_view kChoicePrompt = "choice!:";
inline constexpr std::string_view kFilePrompt = "file:";
inline constexpr std::string_view kFinishedPrompt = "finished!";

// The menu up to (not including) the prompt "choice!:", with the generation's
// download entries between the common ones.
std::string menuText(const std::string& downloadEntries);

}  // namespace boxmodel
