// Change sets: changes held apart until another user approves them.
#include "service/call_frame.h"

namespace {

HRESULT NotYet()
{
    return CValmorin::ReportComError(
        qmt::CException(u"CValmorin", u"Change sets are not available in this build.", E_NOTIMPL));
}

} // namespace

HRESULT CValmorin::TableApprovalSet(BSTR, BSTR, LONG, BSTR*) { return NotYet(); }
HRESULT CValmorin::ChangeSetPropose(BSTR, BSTR, LONG*) { return NotYet(); }
HRESULT CValmorin::ChangeSetList(BSTR, BSTR*) { return NotYet(); }
HRESULT CValmorin::ChangeSetShow(LONG, BSTR*) { return NotYet(); }
HRESULT CValmorin::ChangeSetApprove(BSTR, LONG, BSTR*) { return NotYet(); }
HRESULT CValmorin::ChangeSetReject(BSTR, LONG, BSTR) { return NotYet(); }
HRESULT CValmorin::Revert(BSTR, BSTR, LONG*) { return NotYet(); }
