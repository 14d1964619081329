// Names a parametrised test instance after its case's `name` member.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace vorlane::testing_support {

struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
        return param_info.param.name;
    }
};

}  // namespace vorlane::testing_support
