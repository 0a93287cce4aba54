#include "monitor/comp_strategy.h"

CompStrategy::~CompStrategy() {}

std::string CompStrategy::name() const { return std::string(); }

std::string CompStrategy::description() const { return std::string(); }
