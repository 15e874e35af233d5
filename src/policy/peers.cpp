#include "policy/peers.hpp"

share_verdict
share_for(const table_share &share, uid_t uid, std::size_t in_use,
          uid_t (*uid_at)(std::size_t index)) {
    if (in_use >= share.capacity)
        return share_verdict::full;
    if (uid == 0)
        return share_verdict::granted;
    std::size_t of_uid = 0, of_members = 0;
    for (std::size_t i = 0; i < in_use; i++) {
        uid_t taker = uid_at(i);
        of_uid += taker == uid;
        of_members += taker != 0;
    }
    if (of_uid >= share.per_uid)
        return share_verdict::over_share;
    if (of_members >= share.capacity - share.kept_for_root)
        return share_verdict::full;
    return share_verdict::granted;
}
