#include "base/size_text.h"

#include "base/localization.h"

namespace quillon {

std::string sizeText(uint64_t bytes) {
    if (bytes < 1024) return formatted(localizedPlural("%llu byte", "%llu bytes", bytes), static_cast<unsigned long long>(bytes));
    const std::string units[] = {localizedString("%.1f KiB"), localizedString("%.1f MiB"), localizedString("%.1f GiB"),
                                 localizedString("%.1f TiB"), localizedString("%.1f PiB")};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        unit++;
    }
    return formatted(units[unit], value);
}

}  // namespace quillon
