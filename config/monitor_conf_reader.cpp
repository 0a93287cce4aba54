#include "config/monitor_conf_reader.h"

MonitorConfReader::MonitorConfReader(const std::string& confFile) : ConfReader(confFile) {}

MonitorConfReader::~MonitorConfReader() {}
