#pragma once

#include <QString>

namespace harbelle {

// Qt shows a tooltip as rich text whenever it looks like markup, and rich text loads <img> sources
// from local files. Text that came from a clip, a device or a file goes through here, so it is
// always shown literally, line breaks and runs of spaces kept. Empty text stays empty (no tooltip).
QString plainToolTip(const QString& text);

}  // namespace harbelle
