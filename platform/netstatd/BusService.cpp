#include "BusService.h"

#include <dbus/dbus.h>

#include <dbus-c++/dbus.h>

#include <fstream>
#include <string>

#include "dbus/interfacestatus-adaptor.h"
#include "dbus/ipv4address-adaptor.h"
#include "dbus/ipv4route-adaptor.h"
#include "network-names.h"

namespace kor {
namespace netstatd {

namespace {

using namespace com::mirandel::network;
const int kCallTimeoutMs = 5000;
// The system bus refuses a message above 32 MiB (its max_message_size) and
// drops the connection that sent it. An answer that would not fit is
// refused with an error instead; 64 KiB are left for the header.
const size_t kMessageLimit = 32 * 1024 * 1024;
const size_t kHeaderRoom = 64 * 1024;

size_t aligned(size_t offset, size_t to) { return (offset + to - 1) / to * to; }

}  // namespace

class AddressObject : public com::mirandel::network::IPv4Address_adaptor,
                      public DBus::IntrospectableAdaptor,
                      public DBus::ObjectAdaptor {
public:
    explicit AddressObject(DBus::Connection& connection)
        : DBus::ObjectAdaptor(connection, ipv4AddressPath) {}
};

class InterfaceStatusObject : public com::mirandel::network::InterfaceStatus_adaptor,
                              public DBus::IntrospectableAdaptor,
                              public DBus::ObjectAdaptor {
public:
    explicit InterfaceStatusObject(DBus::Connection& connection)
        : DBus::ObjectAdaptor(connection, interfaceStatusPath) {}
};

class RouteObject : public com::mirandel::network::IPv4Route_adaptor,
                    public DBus::IntrospectableAdaptor,
                    public DBus::ObjectAdaptor {
public:
    using Entry = DBus::Struct<std::string, std::string, std::string, std::string, std::string>;

    RouteObject(DBus::Connection& connection, const BusService::RouteQuery& query)
        : DBus::ObjectAdaptor(connection, ipv4RoutePath), query_(query) {}

    std::vector<Entry> GetIPv4RoutesFromTable(const uint32_t& table) override {
        std::vector<Entry> entries;
        for (const RouteArgs& route : query_(table)) {
            Entry entry;
            entry._1 = route.destination;
            entry._2 = std::to_string(route.prefixLength);
            entry._3 = route.gateway;
            entry._4 = route.protocol;
            entry._5 = route.device;
            entries.push_back(std::move(entry));
        }
        const size_t size = marshalledSize(entries);
        if (size > kMessageLimit - kHeaderRoom) {
            refusal_ = VAStr("table %u has %zu routes: the answer (%zu bytes) exceeds the bus's message limit", table,
                             entries.size(), size);
            KOR_Sysloglevel_error(KOR_Sysloglevel_registerModul("netstatd"), "netstatd", __LINE__, refusal_.c_str());
            // The library answers the call with this error; it keeps a
            // pointer to the text, which refusal_ holds.
            throw DBus::Error("org.freedesktop.DBus.Error.LimitsExceeded", refusal_.c_str());
        }
        return entries;
    }

private:
    // The marshalled size of the answer: each struct starts on 8 bytes,
    // each string is a 4-aligned length, its bytes and a NUL.
    static size_t marshalledSize(const std::vector<Entry>& entries) {
        size_t size = 4;  // the array's length
        for (const Entry& e : entries) {
            size = aligned(size, 8);
            for (const std::string* text : {&e._1, &e._2, &e._3, &e._4, &e._5})
                size = aligned(size, 4) + 4 + text->size() + 1;
        }
        return size;
    }

    const BusService::RouteQuery& query_;
    std::string refusal_;
};

BusService::BusService(RouteQuery query, bool verbose)
    : query_(std::move(query)), verbose_(verbose), log_(KOR_Sysloglevel_registerModul("netstatd")) {}

BusService::~BusService() { close(); }

BusService::Opened BusService::open() {
    close();
    Opened opened = Opened::Yes;
    try {
        connection_ = std::make_unique<DBus::Connection>(DBus::Connection::SystemBus());
        // A lost bus is noticed and reconnected by the caller; the library
        // would end the process.
        connection_->exit_on_disconnect(false);
        // Objects first, so that a call arriving as soon as a name is ours
        // finds them.
        addressObject_ = std::make_unique<AddressObject>(*connection_);
        statusObject_ = std::make_unique<InterfaceStatusObject>(*connection_);
        routeObject_ = std::make_unique<RouteObject>(*connection_, query_);
        for (const char* name : {ipv4AddressName, interfaceStatusName, ipv4RouteName})
            if ((opened = requestName(name)) != Opened::Yes) break;
    } catch (const DBus::Error& error) {
        retries_.failed(error.what());
        opened = Opened::No;
    }
    if (opened != Opened::Yes) {
        close();
        return opened;
    }
    if (!retries_.succeeded("connected, names taken"))
        KOR_Sysloglevel_info(log_, "netstatd", __LINE__, "bus: connected, names taken");
    return Opened::Yes;
}

void BusService::close() {
    routeObject_.reset();
    statusObject_.reset();
    addressObject_.reset();
    if (!connection_) return;
    // Closing a connection queues its "Disconnected" message, and the
    // dispatcher keeps a plain pointer to a connection with messages left
    // to dispatch: closed while still connected by the destructor, it would
    // be used after it is gone. Closed here and dispatched, it is let go.
    if (connection_->connected()) connection_->disconnect();
    if (DBus::default_dispatcher) DBus::default_dispatcher->dispatch_pending();
    connection_.reset();
}

bool BusService::lost() const { return connection_ && !connection_->connected(); }

BusService::Opened BusService::requestName(const char* name) {
    DBus::CallMessage call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "RequestName");
    DBus::MessageIter writer = call.writer();
    writer << std::string(name) << uint32_t(DBUS_NAME_FLAG_DO_NOT_QUEUE);
    uint32_t result = 0;
    try {
        DBus::Message reply = connection_->send_blocking(call, kCallTimeoutMs);
        DBus::MessageIter reader = reply.reader();
        reader >> result;
    } catch (const DBus::Error& error) {
        // A policy that does not let us own the name: AccessDenied, with
        // the rule's text.
        retries_.failed(std::string("cannot own ") + name + ": " + error.name() + ": " + error.what());
        return Opened::No;
    }
    if (result == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER || result == DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER)
        return Opened::Yes;
    std::string program;
    const std::string owner = describeOwner(name, program);
    if (program == "netstatd") {
        KOR_Sysloglevel_error(log_, "netstatd", __LINE__, ("bus: " + owner + ": another netstatd runs").c_str());
        return Opened::OtherNetstatd;
    }
    retries_.failed(owner);
    return Opened::No;
}

std::string BusService::describeOwner(const char* name, std::string& program) {
    std::string unique;
    uint32_t pid = 0;
    try {
        DBus::CallMessage ownerCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner");
        DBus::MessageIter ownerArgs = ownerCall.writer();
        ownerArgs << std::string(name);
        DBus::MessageIter ownerReply = connection_->send_blocking(ownerCall, kCallTimeoutMs).reader();
        ownerReply >> unique;
        DBus::CallMessage pidCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                  "GetConnectionUnixProcessID");
        DBus::MessageIter pidArgs = pidCall.writer();
        pidArgs << unique;
        DBus::MessageIter pidReply = connection_->send_blocking(pidCall, kCallTimeoutMs).reader();
        pidReply >> pid;
    } catch (const DBus::Error& error) {
        // The owner may have gone meanwhile.
        return std::string(name) + " is owned by another connection (" + error.what() + ")";
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    if (!std::getline(comm, program)) program = "?";
    return std::string(name) + " is owned by " + unique + ", PID " + std::to_string(pid) + " (" + program + ")";
}

void BusService::emit(const std::vector<Signal>& signals) {
    if (!connection_) {
        if (verbose_ && !signals.empty())
            KOR_Sysloglevel_info(log_, "netstatd", __LINE__,
                                 VAStr("bus: not connected, %zu signals not sent", signals.size()));
        return;
    }
    for (const Signal& signal : signals) {
        if (verbose_) KOR_Sysloglevel_info(log_, "netstatd", __LINE__, ("publish: " + signal.toString()).c_str());
        const RouteArgs& route = signal.route;
        // Interface names need not be UTF-8; the bus takes nothing else.
        try {
            switch (signal.type) {
            case Signal::Type::NewAddress:
                addressObject_->NewIPv4Address(signal.interfaceName, signal.address);
                break;
            case Signal::Type::RemovedAddress:
                addressObject_->RemovedIPv4Address(signal.interfaceName, signal.address);
                break;
            case Signal::Type::Status:
                statusObject_->StatusChange(signal.interfaceName, signal.value);
                break;
            case Signal::Type::LinkStatus:
                statusObject_->LinkStatusChange(signal.interfaceName, signal.value);
                break;
            case Signal::Type::NewRoute:
                routeObject_->NewIPv4Route(route.destination, route.prefixLength, route.gateway, route.protocol,
                                           route.device, route.table);
                break;
            case Signal::Type::RemovedRoute:
                routeObject_->RemovedIPv4Route(route.destination, route.prefixLength, route.gateway, route.protocol,
                                               route.device, route.table);
                break;
            case Signal::Type::RoutesReread:
                routeObject_->IPv4RoutesReread(route.table);
                break;
            }
        } catch (const DBus::Error& error) {
            KOR_Sysloglevel_error(log_, "netstatd", __LINE__,
                                  ("bus: cannot send " + signal.toString() + ": " + error.what()).c_str());
        }
    }
    connection_->flush();
}

}  // namespace netstatd
}  // namespace kor
