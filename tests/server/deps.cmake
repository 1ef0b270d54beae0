list(APPEND extra_deps pd_comms pd_log pd_protocol pd_devsim pd_platform_qt Qt6::Core Qt6::Network)
