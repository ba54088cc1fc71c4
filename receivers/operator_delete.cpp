#include "receivers/operator_delete.h"

#include <vector>

#include "core/request_client.h"
#include "core/server.h"
#include "receivers/receiver_table.h"

namespace orvana {

bool DeleteReceiverForEveryone(Server& server, const std::string& name, uint32_t max_wait_ms) {
    std::vector<PendingClose> closes;
    {
        ClientsAndReceiversLock locked(server, max_wait_ms);
        if (!locked.owns()) return false;
        closes = DetachEveryHandle(server, name, frame_type::kNotice, "RS:" + name + ",0");
    }
    // The receivers end with the tables free: a reader may be in a delivery.
    for (PendingClose& close : closes)
        if (close.receiver) FinishClose(server, std::move(close));
    server.log().WriteLine("ER:Operator kill receiver=" + name);
    return true;
}

}  // namespace orvana
