#include "BusService.h"

#include <dbus/dbus.h>

#include <fstream>

#include <dbus-c++/dbus.h>

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

bool BusService::open() {
    if (connection_ && namesOwned_) return true;
    try {
        if (!connection_) {
            connection_ = std::make_unique<DBus::Connection>(DBus::Connection::SystemBus());
            // A lost bus is noticed and reconnected by the caller; the
            // library would end the process.
            connection_->exit_on_disconnect(false);
            // Objects first, so that a call arriving as soon as a name is
            // ours finds them.
            addressObject_ = std::make_unique<AddressObject>(*connection_);
            statusObject_ = std::make_unique<InterfaceStatusObject>(*connection_);
            routeObject_ = std::make_unique<RouteObject>(*connection_, query_);
        }
    } catch (const DBus::Error& error) {
        retries_.failed(error.what());
        close();
        return false;
    }
    anotherInstance_ = false;
    if (!requestName(ipv4AddressName) || !requestName(interfaceStatusName) || !requestName(ipv4RouteName))
        return false;
    namesOwned_ = true;
    if (!retries_.succeeded("connected, names taken"))
        KOR_Sysloglevel_info(log_, "netstatd", __LINE__, "bus: connected, names taken");
    return true;
}

void BusService::close() {
    // The dispatcher keeps a plain pointer to a connection that has
    // messages left to dispatch (a lost one always has: "Disconnected"),
    // and would use it after the connection is gone. Dispatching them lets
    // go of it.
    if (connection_ && DBus::default_dispatcher) DBus::default_dispatcher->dispatch_pending();
    routeObject_.reset();
    statusObject_.reset();
    addressObject_.reset();
    connection_.reset();
    namesOwned_ = false;
}

bool BusService::lost() const { return connection_ && !connection_->connected(); }

bool BusService::requestName(const char* name) {
    uint32_t result = 0;
    try {
        DBus::CallMessage call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "RequestName");
        DBus::MessageIter writer = call.writer();
        writer << std::string(name) << uint32_t(DBUS_NAME_FLAG_DO_NOT_QUEUE);
        DBus::Message reply = connection_->send_blocking(call, kCallTimeoutMs);
        DBus::MessageIter reader = reply.reader();
        reader >> result;
    } catch (const DBus::Error& error) {
        // The policy's refusal says which rule of which file.
        retries_.failed(std::string("cannot own ") + name + ": " + error.what());
        return false;
    }
    if (result == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER || result == DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER)
        return true;
    std::string program;
    const std::string owner = ownerOf(name, program);
    anotherInstance_ = program == "netstatd";
    retries_.failed(std::string(name) + " is owned by " + (owner.empty() ? "another process" : "PID " + owner));
    return false;
}

std::string BusService::ownerOf(const char* name, std::string& program) {
    try {
        DBus::CallMessage ask(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner");
        DBus::MessageIter askWriter = ask.writer();
        askWriter << std::string(name);
        DBus::MessageIter owner = connection_->send_blocking(ask, kCallTimeoutMs).reader();
        std::string unique;
        owner >> unique;
        DBus::CallMessage pidCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                  "GetConnectionUnixProcessID");
        DBus::MessageIter pidWriter = pidCall.writer();
        pidWriter << unique;
        DBus::MessageIter reader = connection_->send_blocking(pidCall, kCallTimeoutMs).reader();
        uint32_t pid = 0;
        reader >> pid;
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::getline(comm, program);
        return std::to_string(pid) + (program.empty() ? "" : " (" + program + ")");
    } catch (const DBus::Error&) {
        return "";
    }
}

void BusService::emit(const std::vector<Signal>& signals) {
    if (!isOpen()) {
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
            }
        } catch (const DBus::Error& error) {
            KOR_Sysloglevel_error(log_, "netstatd", __LINE__,
                                  ("bus: cannot send " + signal.toString() + ": " + error.what()).c_str());
        }
    }
    connection_->flush();
}

void BusService::emitRoutesReread(uint32_t table) {
    if (!isOpen()) return;
    KOR_Sysloglevel_info(log_, "netstatd", __LINE__, VAStr("publish: IPv4RoutesReread(%u)", table));
    try {
        routeObject_->IPv4RoutesReread(table);
    } catch (const DBus::Error& error) {
        KOR_Sysloglevel_error(log_, "netstatd", __LINE__,
                              (std::string("bus: cannot send IPv4RoutesReread: ") + error.what()).c_str());
    }
    connection_->flush();
}

}  // namespace netstatd
}  // namespace kor
