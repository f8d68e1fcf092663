#include "qmt/sys/node.h"

#include <algorithm>

namespace qmt {

CNode::CNode(char16_t separator, std::u16string_view path) : m_separator(separator) { ChangeTo(path); }

const char* CNode::GetClassName() const { return "CNode"; }
void CNode::Open(std::u16string_view) {}
void CNode::Close() {}
void CNode::Delete(std::u16string_view) {}
bool CNode::IsOpen() const { return false; }
void CNode::SetAttribute(std::u16string_view) {}

std::u16string CNode::ChangeTo(std::u16string_view argument)
{
    if (argument.empty()) return m_path;
    if (argument.size() > 1 && argument.back() == m_separator) argument.remove_suffix(1);
    if (argument == u"..") {
        GoUp();
    } else if (IsDrivePath(argument)) {
        m_path = argument;
        NameFromPath();
    } else {
        m_path = Joined(argument);
        const bool oneLevel = argument.find(m_separator) == std::u16string_view::npos;
        if (oneLevel)
            m_name = argument;
        else
            NameFromPath();
    }
    return m_path;
}

std::u16string CNode::Joined(std::u16string_view name) const
{
    std::u16string joined = m_path;
    // The Linux root "/" is the one path that ends with its separator.
    const bool endsWithSeparator = !joined.empty() && joined.back() == m_separator;
    if (name.starts_with(m_separator) && endsWithSeparator)
        name.remove_prefix(1);
    else if (!name.starts_with(m_separator) && !joined.empty() && !endsWithSeparator)
        joined += m_separator;
    return joined.append(name);
}

bool CNode::IsDrivePath(std::u16string_view argument) const
{
    return argument.size() >= 3 && argument[1] == u':' && argument[2] == m_separator;
}

// A leading separator is the root of a Linux path and is never cut.
void CNode::GoUp()
{
    const std::size_t last = m_path.rfind(m_separator);
    if (last == std::u16string::npos) return;
    m_path.resize(std::max<std::size_t>(last, 1));
    NameFromPath();
}

void CNode::NameFromPath()
{
    const std::size_t last = m_path.rfind(m_separator);
    m_name = last == std::u16string::npos ? m_path : m_path.substr(last);
}

} // namespace qmt
