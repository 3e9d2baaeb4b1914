#include "platform/ImageLimits.h"

#include <QImageReader>

namespace harbelle {

void raiseImageAllocationLimit() {
    if (QImageReader::allocationLimit() < kImageAllocationLimitMB)
        QImageReader::setAllocationLimit(kImageAllocationLimitMB);
}

}  // namespace harbelle
