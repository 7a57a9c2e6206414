#pragma once

#include <QString>

#include <cstdio>
#include <unistd.h>

namespace mallowby::test {

// Sends the process's standard output to a temporary file until finish() (or destruction) and
// gives back what was written. Keep assertions outside: gtest prints to standard output too.
class StdoutCapture {
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_file = std::tmpfile();
        m_saved = ::dup(STDOUT_FILENO);
        if (m_file && m_saved >= 0)
            ::dup2(::fileno(m_file), STDOUT_FILENO);
    }
    // Unfinished (an assertion left the test early): passes the text on, failures included.
    ~StdoutCapture()
    {
        if (m_saved < 0)
            return;
        const QByteArray text = finish().toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    QString finish()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
            m_saved = -1;
        }
        if (m_file) {
            std::rewind(m_file);
            QByteArray text;
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
                text.append(buffer, qsizetype(n));
            std::fclose(m_file);
            m_file = nullptr;
            m_text = QString::fromUtf8(text);
        }
        return m_text;
    }

private:
    std::FILE* m_file = nullptr;
    int m_saved = -1;
    QString m_text;
};

} // namespace mallowby::test
