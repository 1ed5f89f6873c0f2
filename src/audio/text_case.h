// Case folding for device names. Names are UTF-8; lower-casing works on code points with our own
// table of the case pairs (as of Unicode 14) of Latin (with its extensions), Greek, Cyrillic,
// Armenian, Georgian, Cherokee, Glagolitic, Coptic, Deseret, Osage, Vithkuqi, Old Hungarian,
// Warang Citi, Medefaidrin, Adlam, Roman numerals, circled and fullwidth letters, plus the two
// context rules of full lower-casing that matter for names: capital I with dot above becomes "i" +
// combining dot above, and a capital sigma that ends a word becomes the final sigma. A table of our
// own keeps matching independent of the process locale. Bytes that are not valid UTF-8 pass through unchanged.
#pragma once

#include <string>
#include <string_view>

namespace mixengine {

std::string lowercase_utf8(std::string_view text);

}  // namespace mixengine
