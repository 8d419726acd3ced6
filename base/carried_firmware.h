// The version of the firmware image this program carries. The one place it
// is written down: the title, the questions, the rules and the programs'
// version resources all read it here.
#pragma once

namespace Vantri {

inline constexpr char kCarriedFirmwareVersion[] = "4.00.20160918";

} // namespace Vantri
