// Version facts shown by --version and kept with the program's identity.
#pragma once

namespace romlift::version {

inline constexpr const char* kProduct = "1.0.1.1";  // what --version prints
inline constexpr const char* kFile = "1.0.0.1";
inline constexpr const char* kProductName = "Romlift ";  // the trailing blank is part of the name
inline constexpr const char* kFileDescription = "Romlift";

}  // namespace romlift::version
