#include "ampd/Records.h"

#include <cerrno>
#include <cstring>

#include "protocol/Units.h"

namespace ampd {

LineFile::~LineFile()
{
    if (m_file)
        std::fclose(m_file);
}

bool LineFile::Open(const std::string& path, const std::string& header, std::string& error)
{
    m_file = std::fopen(path.c_str(), "a");
    if (!m_file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    m_path = path;
    m_header = header;
    std::fseek(m_file, 0, SEEK_END);
    if (!header.empty() && std::ftell(m_file) == 0)
        Write(header);
    return true;
}

bool LineFile::Reopen(std::string& error)
{
    if (!m_file)
        return true;
    std::FILE* file = std::fopen(m_path.c_str(), "a");
    if (!file) {
        error = m_path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(m_file);
    m_file = file;
    m_failed = false;
    std::fseek(m_file, 0, SEEK_END);
    if (!m_header.empty() && std::ftell(m_file) == 0)
        std::fprintf(m_file, "%s\n", m_header.c_str());
    std::fflush(m_file);
    return true;
}

void LineFile::Write(const std::string& line)
{
    if (!m_file)
        return;
    const std::string whole = line + "\n";
    const bool written = std::fwrite(whole.data(), 1, whole.size(), m_file) == whole.size() && std::fflush(m_file) == 0;
    if (!written && !m_failed) {
        m_failed = true;
        std::fprintf(stderr, "ampd: %s: %s; going on without it\n", m_path.c_str(), std::strerror(errno));
    }
}

std::string AuditLine(WallTime time, const std::string& who, const std::string& command, const std::string& outcome)
{
    return proto::IsoUtc(time) + "\t" + who + "\t" + command + "\t" + outcome;
}

const char* ReadingsHeader()
{
    return proto::kCsvHeader;
}

std::string ReadingsLine(WallTime time, const proto::StatusReply& status)
{
    return proto::ReadingCsv(proto::IsoUtc(time), status);
}

}  // namespace ampd
