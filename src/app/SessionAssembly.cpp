#include "app/SessionAssembly.h"

#include <utility>

#include "account/ReconcileLedger.h"
#include "account/TenantDiscoveryCache.h"
#include "account/TenantDiscoveryService.h"
#include "capture/RecentCaptureStore.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {

SessionAssembly SessionAssembly::make(Parts parts) {
    auto recentCaptureStore = std::make_shared<RecentCaptureStore>(parts.capturesDirectory);
    auto ledger = std::make_shared<ReconcileLedger>(parts.defaults);

    SessionController::Collaborators collaborators;
    collaborators.auth = parts.auth;
    collaborators.discovery =
        std::make_shared<TenantDiscoveryService>(parts.discoveryURL, parts.transport);
    collaborators.cache = std::make_shared<TenantDiscoveryCache>(parts.defaults, *parts.clock);
    collaborators.cacheDefaults = parts.defaults;
    collaborators.transport = parts.transport;
    collaborators.recentCaptureStore = recentCaptureStore;
    collaborators.ledger = ledger;
    collaborators.clock = parts.clock;
    collaborators.main = parts.main;
    collaborators.worker = parts.worker;
    collaborators.supportEnvironment = std::move(parts.supportEnvironment);
    collaborators.timeZone = std::move(parts.timeZone);

    SessionAssembly assembly;
    assembly.session = SessionController::create(std::move(collaborators));
    assembly.delivery =
        CaptureDelivery::create({.auth = std::move(parts.auth),
                                 .transport = std::move(parts.transport),
                                 .stagedBlockStore = std::make_shared<FileStagedBlockStore>(
                                     parts.capturesDirectory / FileStagedBlockStore::kFileName),
                                 .recentCaptureStore = std::move(recentCaptureStore),
                                 .ledger = std::move(ledger),
                                 .queue = std::move(parts.queue),
                                 .clock = parts.clock,
                                 .main = parts.main,
                                 .reconcileInterval = parts.reconcileInterval,
                                 .uploadTiming = parts.uploadTiming});
    return assembly;
}

}  // namespace kavo
