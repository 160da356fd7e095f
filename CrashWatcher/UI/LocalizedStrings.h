#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cw {
class Bundle;
}

namespace cw::ui {

// The name of the table every lookup uses: "<lang>.lproj/Localizable.strings"
// among the bundle's resources.
inline constexpr std::string_view kDefaultStringTable = "Localizable";

// The languages the user asks for, most wanted first: each entry of LANGUAGE
// (a colon list), then the first set of LC_ALL, LC_MESSAGES and LANG. Codeset
// and modifier are dropped ("de_DE.UTF-8@euro" gives "de_DE"); "C", "POSIX"
// and anything that is not a plain language tag are skipped.
std::vector<std::string> preferredLanguagesFromEnvironment();

// The localization of `bundle` that lookups use: the first preferred
// language, as given and then its language part alone ("de_DE", then "de"),
// whose table exists and reads; else the bundle's CFBundleDevelopmentRegion
// ("en" when it names none). Empty when not even that table reads.
std::string chosenLocalization(const Bundle& bundle);

// The text for `key` in the chosen localization's default table. A key the
// table lacks gives `value`, or the key itself when `value` is empty.
std::string localizedStringForKey(const Bundle& bundle, std::string_view key, std::string_view value = {});
// The same in the main bundle.
std::string localizedStringForKey(std::string_view key, std::string_view value = {});

}  // namespace cw::ui
