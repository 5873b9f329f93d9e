#pragma once
// Window measures are kept in twips, 1440 to the inch, whatever the screen. These convert
// them to and from pixels with the screen's logical resolution (15 twips to the pixel at
// 96 dpi).

namespace tarvok::twips {

inline constexpr double PerInch = 1440.0;
// Used when a screen reports no resolution (a headless platform may).
inline constexpr double FallbackDpi = 96.0;

namespace detail {
inline constexpr double usableDpi(double dpi) {
    return dpi > 0.0 ? dpi : FallbackDpi;
}
inline constexpr int roundToInt(double value) {
    return static_cast<int>(value < 0.0 ? value - 0.5 : value + 0.5);
}
} // namespace detail

// Pixels nearest to a length in twips.
inline constexpr int toPixels(double twips, double dpi) {
    return detail::roundToInt(twips * detail::usableDpi(dpi) / PerInch);
}

// Twips of a length in pixels, rounded to whole twips.
inline constexpr int fromPixels(double pixels, double dpi) {
    return detail::roundToInt(pixels * PerInch / detail::usableDpi(dpi));
}

} // namespace tarvok::twips
