#include "kea/kea_list.h"

#include <openssl/evp.h>
#include <process/daemon.h>

#include "config/logs.h"
#include "filter/list_file.h"
#include "kea/kea_log.h"
#include "kea/kea_status.h"
#include "platform/platform.h"

namespace macgate {
namespace {

std::string HexText(const unsigned char* bytes, unsigned size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// SHA-256 of the bytes given, every step checked: without memory for it
// the load fails rather than shows a list without its hash.
class Sha256 {
public:
    Sha256()
        : context_(EVP_MD_CTX_new()),
          working_(context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1) {
    }
    ~Sha256() {
        EVP_MD_CTX_free(context_);
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    bool Update(const char* bytes, size_t size) {
        working_ = working_ && EVP_DigestUpdate(context_, bytes, size) == 1;
        return working_;
    }
    bool Finish() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned size = 0;
        working_ = working_ && EVP_DigestFinal_ex(context_, digest, &size) == 1;
        if (working_) {
            text_ = HexText(digest, size);
        }
        return working_;
    }
    const std::string& Text() const {
        return text_;
    }

private:
    EVP_MD_CTX* context_;
    bool working_;
    std::string text_;
};

// What Kea's start-up host keeps while the list is read.
struct KeaHost {
    explicit KeaHost(const std::string& list) : listFile(list) {}
    const std::string& listFile;
    Sha256 hash;
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

bool HashBytes(void* context, const char* bytes, size_t size) {
    return static_cast<KeaHost*>(context)->hash.Update(bytes, size);
}

bool FinishHash(void* context) {
    return static_cast<KeaHost*>(context)->hash.Finish();
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
    if (outOfMemory) {
        return "there was not enough memory to load it";
    }
    if (!opened) {
        return "it cannot be opened: " + openError;
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
    host.allBytesRead = FinishHash;
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
    load.sha256 = kea.hash.Text();
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
