// A provider session that does nothing: the test doubles of a provider
// derive from it and override only what they stand in for.
#pragma once

#include "platform/ado/provider.h"

struct IdleSession : valmorin::ado::Session {
    valmorin::ado::ExecuteOutcome Execute(std::u16string_view, std::span<const valmorin::ado::BoundValue>) override
    {
        return {};
    }
    void Query(std::u16string_view, std::span<const valmorin::ado::BoundValue>, bool, std::size_t,
               valmorin::ado::RowSet&) override
    {}
    void UpdateRow(const valmorin::ado::RowSet&, std::size_t, const std::vector<valmorin::ado::ColumnChange>&) override
    {}
    void Begin() override {}
    void Commit() override {}
    void Rollback() override {}
    bool InTransaction() const override { return false; }
};
