# Where the build assembles the bundle tree, and the identifier it carries.
# Included by every folder that puts something into the tree.
set(QOR_BUNDLE_BUILD_DIR ${CMAKE_BINARY_DIR}/bundle)
set(QOR_BUNDLE_IDENTIFIER com.qorvpn.connect.mac)
