list(APPEND extra_deps pd_devsim pd_protocol pd_platform_qt Qt6::Core Qt6::Network Qt6::SerialPort)
