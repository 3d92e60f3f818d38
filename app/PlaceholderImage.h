#pragma once

#include <QString>
#include <QtGlobal>

// The build's generated placeholder stands where no real firmware is shipped.
// It must never reach a real speaker: only our virtual speaker may take it.
namespace PlaceholderImage {

// True when the image's description starts with the placeholder's mark.
bool matches(const uchar* data, qint64 size);

// The same for the file at path. A file that cannot be read here is not
// judged: the library refuses it with its own status.
bool matchesFile(const QString& path);

} // namespace PlaceholderImage
