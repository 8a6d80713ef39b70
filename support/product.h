#pragma once
// The product's own names and addresses.

namespace stow::product {

inline constexpr const char* kTitle = "Stowbright for Outlook";
// Where error reports are mailed.
inline constexpr const char* kErrorReportMailbox = "error-reports@stowbright.org";
// The page explaining what an error report holds and how it is used.
inline constexpr const char* kErrorPolicyPage = "https://www.stowbright.org/error-reporting";
inline constexpr const char* kHomePage = "https://www.stowbright.org/";
inline constexpr const char* kVideoPage = "https://www.stowbright.org/video-tour";

}  // namespace stow::product
