list(APPEND extra_deps pd_platform_qt Qt6::Core Qt6::Network Qt6::SerialPort)
