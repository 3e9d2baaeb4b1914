#include "shelf/ShelfNotifications.h"

namespace harbelle {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter;  // lives as long as the process
    return *center;
}

}  // namespace harbelle
