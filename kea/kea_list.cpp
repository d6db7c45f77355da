#include "kea/kea_list.h"

#include <cryptolink/crypto_hash.h>
#include <cryptolink/cryptolink.h>
#include <process/daemon.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "config/logs.h"
#include "config/state.h"
#include "filter/list_file.h"
#include "kea/kea_log.h"
#include "kea/kea_status.h"
#include "platform/platform.h"

namespace macgate {
namespace {

// Kea's logs are appended to; the one difference from the Windows DHCP
// server's start-up, which truncates them.
constexpr char kKeaLogMode[] = "a";

std::string HexText(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string Sha256(const std::vector<char>& bytes) {
    try {
        using isc::cryptolink::Hash;
        std::unique_ptr<Hash, void (*)(Hash*)> hash(
            isc::cryptolink::CryptoLink::getCryptoLink().createHash(isc::cryptolink::SHA256),
            isc::cryptolink::deleteHash);
        hash->update(bytes.data(), bytes.size());
        return HexText(hash->final(hash->getOutputLength()));
    } catch (const std::exception&) {
        return std::string();  // no hash; the status says null
    }
}

// The whole file, or false with errno.
bool ReadWhole(const std::string& path, std::vector<char>& bytes) {
    FILE* file = Platform.OpenFile(path.c_str(), "r", FileShare::kDenyWrite);
    if (file == nullptr) {
        return false;
    }
    char buffer[64 * 1024];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    const int error = std::ferror(file) != 0 ? EIO : 0;
    Platform.CloseFile(file);
    errno = error;
    return error == 0;
}

}  // namespace

void ListDeleter::operator()(LoadedList* list) const {
    FreeLoadedList(*list);
    delete list;
}

bool KeaListLoad::Usable() const {
    return list && list->UnreadableScopeLine == 0 && FiltersClients(*list);
}

std::string KeaListLoad::WhyUnusable() const {
    if (!opened) {
        return "it cannot be opened: " + openError;
    }
    if (empty) {
        return "it is empty";
    }
    if (!list) {
        return "there was no memory to load it";
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

KeaListLoad LoadKeaList(const std::string& listFile) {
    KeaListLoad load;
    load.listFile = listFile;
    std::vector<char> bytes;
    if (!ReadWhole(listFile, bytes)) {
        load.openError = WhyNotOpened(listFile.c_str(), errno);
        return load;
    }
    load.opened = true;
    load.empty = bytes.empty();
    load.sha256 = Sha256(bytes);
    // The loader reads the bytes already read, through the same text-mode
    // line reads as from the file.
    char nothing[1] = {};
    FILE* stream = fmemopen(bytes.empty() ? nothing : bytes.data(), bytes.size(), "r");
    load.list.reset(new (std::nothrow) LoadedList);
    if (stream == nullptr) {
        load.list.reset();
        return load;
    }
    if (load.list) {
        LoadAddressList(stream, *load.list);
        load.linesReported = ReportedLineCount(*load.list);
        for (const ListDiagnostic& diagnostic : load.list->Diagnostics) {
            if (diagnostic.kind != DiagnosticKind::kActionSpecified) {
                load.reportedLines.push_back(FormatReportedLine(listFile, diagnostic));
            }
        }
    }
    std::fclose(stream);
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

void LogReportedLines(const KeaListLoad& load) {
    for (const std::string& line : load.reportedLines) {
        LOG_WARN(KeaLogger, MACGATE_LIST_LINE).arg(line);
    }
}

FILE* OpenKeaLog(const std::string& path, const char* role, const std::string& listFile,
                 const char* consequence) {
    FILE* log = path.size() < kPathBufferSize
                    ? Platform.OpenFile(path.c_str(), kKeaLogMode, kLogShare)
                    : (errno = ENAMETOOLONG, nullptr);
    if (log == nullptr) {
        LOG_WARN(KeaLogger, MACGATE_LOG_NOT_OPENED)
            .arg(role)
            .arg(path)
            .arg(WhyNotOpened(path.c_str(), errno))
            .arg(consequence);
        return nullptr;
    }
    LogMessage(log, "---- %s %s loads the list %s\n", UtcNow().c_str(),
               isc::process::Daemon::getProcName().c_str(), listFile.c_str());
    Platform.FlushFile(log);
    return log;
}

void WriteLoadToLogs(const std::string& path, const KeaListLoad& load) {
    if (!path.empty()) {
        ErrorLog = OpenKeaLog(path, "error log", load.listFile, "Kea's log has every message");
    }
    if (!load.opened) {
        LogMessage(ErrorLog, "Could not open the data file\n");
    } else if (load.list) {
        WriteListDiagnostics(*load.list);
    }
    if (load.opened && !load.Usable()) {
        LogMessage(ErrorLog, "File format not proper\n");
    } else if (load.Usable() && !load.refused && InfoLogEnabled == 1) {
        WriteInfoLogText("Successfully read mac addresses\n");
    }
    if (ErrorLog != nullptr) {
        Platform.CloseFile(ErrorLog);
        ErrorLog = nullptr;
    }
}

}  // namespace macgate
