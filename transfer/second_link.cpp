#include "transfer/second_link.h"

#include "core/server.h"
#include "receivers/command_engine.h"
#include "receivers/receiver_table.h"

namespace orvana {

std::unique_ptr<Receiver> OpenSecondLink(Server& server, const Receiver& primary,
                                         const std::string& name, std::string* link_error) {
    ReceiverTable& table = Receivers(server);
    ReceiverContext context = table.MakeContext();
    context.receiver_name = name;
    context.interface_name = primary.interface_name;
    link_error->clear();
    std::unique_ptr<Receiver> link;
    if (table.link_factory) link = table.link_factory(LinkKind::kTcp, primary.address, context);
    if (!link || !link->error_text.empty()) {
        *link_error = link ? link->error_text : "ER:" + name + " no TCP link";
        return nullptr;
    }
    InternalCommand(*link, kDisableSequence, 0);
    if (!InternalCommand(*link, "%Loop%", 5000) || link->last_reply != "RE006%Loop%")
        return nullptr;
    return link;
}

}  // namespace orvana
