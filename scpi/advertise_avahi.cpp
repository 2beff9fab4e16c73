// The services published through avahi-daemon with Avahi's client
// library, on a threaded poll of its own: its callbacks run on that thread,
// and the server hears of them only through the log function.

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include "advertise.h"

namespace velmar::scpi {

namespace {

class AvahiAdvertiser : public Advertiser {
  public:
    AvahiAdvertiser(std::vector<Service> services, std::function<void(const std::string&)> log)
        : services_(std::move(services)), log_(std::move(log)) {}

    bool Start(std::string* why) {
        poll_ = avahi_threaded_poll_new();
        if (poll_ == nullptr) {
            *why = "cannot make Avahi's poll";
            return false;
        }
        int error = 0;
        // Without AVAHI_CLIENT_NO_FAIL: a daemon that is not there is said
        // at once, and the server goes on without it.
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                                   &AvahiAdvertiser::ClientChanged, this, &error);
        if (client_ == nullptr) {
            *why = std::string("avahi-daemon: ") + avahi_strerror(error);
            return false;
        }
        if (avahi_threaded_poll_start(poll_) < 0) {
            *why = "cannot start Avahi's poll";
            return false;
        }
        return true;
    }

    ~AvahiAdvertiser() override {
        if (poll_ != nullptr) avahi_threaded_poll_stop(poll_);
        // Freeing the client withdraws its groups' services.
        if (client_ != nullptr) avahi_client_free(client_);
        if (poll_ != nullptr) avahi_threaded_poll_free(poll_);
    }

  private:
    static void ClientChanged(AvahiClient* client, AvahiClientState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->OnClient(client, state);
    }
    static void GroupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->OnGroup(group, state);
    }

    void OnClient(AvahiClient* client, AvahiClientState state) {
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                Publish(client);
                return;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host's name changes: published again once it runs.
                if (group_ != nullptr) avahi_entry_group_reset(group_);
                return;
            case AVAHI_CLIENT_FAILURE: {
                const int error = avahi_client_errno(client);
                if (error == AVAHI_ERR_DISCONNECTED && Reconnect(client)) return;
                log_(std::string("mDNS: ") + avahi_strerror(error) +
                     "; the services are no longer advertised");
                return;
            }
            case AVAHI_CLIENT_CONNECTING:
                return;
        }
    }

    // The daemon went away (restarted, say): a new client waits for it, and
    // publishes again once it runs. False when none can be made.
    bool Reconnect(AvahiClient* gone) {
        log_("mDNS: avahi-daemon went away; advertised again when it is back");
        avahi_client_free(gone);
        group_ = nullptr;  // freed with its client
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                   &AvahiAdvertiser::ClientChanged, this, &error);
        return client_ != nullptr;
    }

    void OnGroup(AvahiEntryGroup* group, AvahiEntryGroupState state) {
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
            std::string names;
            for (const Service& service : services_) {
                names += (names.empty() ? "" : ", ") + service.type + " '" + service.name + "'";
            }
            log_("advertised over mDNS: " + names);
        } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            // Another host has these names: each takes the next ("... #2").
            for (Service& service : services_) {
                char* other = avahi_alternative_service_name(service.name.c_str());
                service.name = other;
                avahi_free(other);
            }
            Publish(avahi_entry_group_get_client(group));
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            log_(std::string("mDNS: ") +
                 avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
    }

    void Publish(AvahiClient* client) {
        if (group_ == nullptr) {
            group_ = avahi_entry_group_new(client, &AvahiAdvertiser::GroupChanged, this);
            if (group_ == nullptr) {
                log_(std::string("mDNS: ") + avahi_strerror(avahi_client_errno(client)));
                return;
            }
        }
        avahi_entry_group_reset(group_);
        for (const Service& service : services_) {
            AvahiStringList* txt = nullptr;
            for (auto it = service.txt.rbegin(); it != service.txt.rend(); ++it) {
                txt = avahi_string_list_add(txt, it->c_str());
            }
            const int error = avahi_entry_group_add_service_strlst(
                group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                service.name.c_str(), service.type.c_str(), nullptr, nullptr, service.port, txt);
            avahi_string_list_free(txt);
            // One that cannot be published leaves the others published.
            if (error < 0) {
                log_("mDNS: " + service.type + " '" + service.name + "': " + avahi_strerror(error));
            }
        }
        if (avahi_entry_group_is_empty(group_)) return;
        if (const int error = avahi_entry_group_commit(group_); error < 0) {
            log_(std::string("mDNS: ") + avahi_strerror(error));
        }
    }

    std::vector<Service> services_;
    std::function<void(const std::string&)> log_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;  // freed with the client
};

}  // namespace

std::unique_ptr<Advertiser> Advertise(std::vector<Service> services,
                                      std::function<void(const std::string&)> log,
                                      std::string* why) {
    auto advertiser = std::make_unique<AvahiAdvertiser>(std::move(services), std::move(log));
    if (!advertiser->Start(why)) return nullptr;
    return advertiser;
}

}  // namespace velmar::scpi
