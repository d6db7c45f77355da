#include "kea/kea_list.h"

#include <cryptolink/crypto_hash.h>
#include <cryptolink/cryptolink.h>
#include <process/daemon.h>

#include <exception>
#include <memory>

#include "config/logs.h"
#include "filter/list_file.h"
#include "kea/kea_log.h"
#include "kea/kea_status.h"
#include "platform/platform.h"

namespace macgate {
namespace {

using isc::cryptolink::Hash;
using HashPointer = std::unique_ptr<Hash, void (*)(Hash*)>;

std::string HexText(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// What Kea's start-up host keeps while the list is read.
struct KeaHost {
    explicit KeaHost(const std::string& list) : listFile(list) {}
    const std::string& listFile;
    HashPointer hash{nullptr, isc::cryptolink::deleteHash};
    bool hashFailed = false;
    std::vector<std::string> reportedLines;
};

void BeginLog(void* context, FILE* log) {
    const KeaHost& host = *static_cast<KeaHost*>(context);
    LogMessage(log, "---- %s %s loads the list %s\n", UtcNow().c_str(),
               isc::process::Daemon::getProcName().c_str(), host.listFile.c_str());
    Platform.FlushFile(log);
}

void LogNotOpened(void*, const char* role, const char* path, const std::string& why) {
    const std::string error = "error log";
    LOG_WARN(KeaLogger, MACGATE_LOG_NOT_OPENED)
        .arg(role)
        .arg(path)
        .arg(why)
        .arg(role == error ? "Kea's log has every message" : "no decision is logged");
}

void ReportLine(void* context, const ListDiagnostic& diagnostic) {
    KeaHost& host = *static_cast<KeaHost*>(context);
    host.reportedLines.push_back(FormatReportedLine(host.listFile, diagnostic));
    LOG_WARN(KeaLogger, MACGATE_LIST_LINE).arg(host.reportedLines.back());
}

void HashBytes(void* context, const char* bytes, size_t size) {
    KeaHost& host = *static_cast<KeaHost*>(context);
    if (host.hash == nullptr || host.hashFailed) {
        return;
    }
    try {
        host.hash->update(bytes, size);
    } catch (const std::exception&) {
        host.hashFailed = true;  // no hash; the status says null
    }
}

// A refused reload's list does not count as read.
bool NoSectionFaults(void*, const LoadedList& list) {
    return SectionFaults(list).empty();
}

}  // namespace

bool KeaListLoad::Usable() const {
    return list && list->UnreadableScopeLine == 0 && FiltersClients(*list);
}

std::string KeaListLoad::WhyUnusable() const {
    if (!opened) {
        return "it cannot be opened: " + openError;
    }
    if (outOfMemory) {
        return "there was not enough memory to load it";
    }
    if (changed) {
        return "it changed while it was read";
    }
    if (empty) {
        return "it is empty";
    }
    if (!list) {
        return "there was not enough memory to load it";
    }
    if (list->UnreadableScopeLine != 0) {
        return SectionFaultText(SectionFaults(*list).front());
    }
    if (linesReported == 0) {
        return "it holds no entry";
    }
    return "it holds no entry that loads, and " + std::to_string(linesReported) +
           (linesReported == 1 ? " line was" : " lines were") + " rejected";
}

KeaListLoad LoadKeaList(const KeaParameters& parameters, KeaLoadKind kind) {
    KeaHost kea(parameters.listFile);
    try {
        kea.hash.reset(
            isc::cryptolink::CryptoLink::getCryptoLink().createHash(isc::cryptolink::SHA256));
    } catch (const std::exception&) {
        kea.hashFailed = true;
    }
    // Kea's logs are appended to; the Windows DHCP server's start-up
    // truncates them instead.
    StartupHost host;
    host.logMode = "a";
    host.infoLogFirst = true;
    host.unreadableLoadsNothing = true;
    host.context = &kea;
    host.beginLog = BeginLog;
    host.logNotOpened = LogNotOpened;
    host.reportLine = ReportLine;
    host.bytesRead = HashBytes;
    StartupPaths paths = {parameters.errorLog.c_str(), parameters.listFile.c_str(),
                          parameters.infoLog.c_str()};
    if (kind == KeaLoadKind::kStart) {
        host.infoLog = StartupHost::InfoLogUse::kOpen;
    } else {
        host.infoLog = kind == KeaLoadKind::kReload ? StartupHost::InfoLogUse::kAsItIs
                                                    : StartupHost::InfoLogUse::kNone;
        host.accept = NoSectionFaults;
        paths.infoLog = nullptr;
        if (kind == KeaLoadKind::kDryRun) {
            paths.errorLog = nullptr;
        }
    }
    KeaListLoad load;
    static_cast<ListLoad&>(load) = RunStartup(paths, host);
    load.reportedLines = std::move(kea.reportedLines);
    if (load.LinesNotShown() != 0) {
        const size_t more = load.LinesNotShown();
        load.reportedLines.push_back(parameters.listFile + ": error: " + std::to_string(more) +
                                     (more == 1 ? " more line is" : " more lines are") +
                                     " reported; macgate check lists every one");
        LOG_WARN(KeaLogger, MACGATE_LIST_LINE).arg(load.reportedLines.back());
    }
    if (load.opened && kea.hash != nullptr && !kea.hashFailed) {
        try {
            load.sha256 = HexText(kea.hash->final(kea.hash->getOutputLength()));
        } catch (const std::exception&) {
            load.sha256.clear();
        }
    }
    return load;
}

std::vector<std::string> SectionFaultTexts(const KeaListLoad& load) {
    std::vector<std::string> texts;
    if (load.list) {
        for (const SectionFault& fault : SectionFaults(*load.list)) {
            texts.push_back(SectionFaultText(fault));
        }
    }
    return texts;
}

}  // namespace macgate
