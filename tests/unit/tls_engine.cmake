# The TLS engines' own tests against an OpenSSL server (Net::SSLeay, which
# can ask for a renegotiation and send a chain through an intermediate CA),
# on a loopback address of its own. Included from this folder's
# CMakeLists.txt.
find_package(Perl REQUIRED)
kestrun_test_address(KESTRUN_TLS_ENGINE_PEER_ADDRESS 127.0.0.40 127.0.0.41
  "Loopback address of the TLS engine tests' peer")
set(tls_engine_peer_dir ${CMAKE_BINARY_DIR}/tls-engine-peer)
add_test(NAME tls_engine_peer_start COMMAND ${PERL_EXECUTABLE}
  ${CMAKE_CURRENT_SOURCE_DIR}/tls_engine_peer.pl start ${KESTRUN_TLS_ENGINE_PEER_ADDRESS} ${tls_engine_peer_dir})
set_tests_properties(tls_engine_peer_start PROPERTIES FIXTURES_SETUP tls_engine_peer
  LABELS "${KESTRUN_TEST_LABELS}")
add_test(NAME tls_engine_peer_stop COMMAND ${PERL_EXECUTABLE}
  ${CMAKE_CURRENT_SOURCE_DIR}/tls_engine_peer.pl stop ${tls_engine_peer_dir})
set_tests_properties(tls_engine_peer_stop PROPERTIES FIXTURES_CLEANUP tls_engine_peer
  LABELS "${KESTRUN_TEST_LABELS}")
set(tls_engine_env "KESTRUN_TEST_ENGINE_PEER=${KESTRUN_TLS_ENGINE_PEER_ADDRESS}")
if(WIN32)
  # Wine's SChannel cannot open a handshake on a live session: the engine
  # declines a renegotiation there, and the test expects that.
  list(APPEND tls_engine_env "KESTRUN_TEST_ENGINE_CA=Z:${tls_engine_peer_dir}/certs/ca.pem"
    "KESTRUN_TEST_RENEGOTIATION=declined")
else()
  list(APPEND tls_engine_env "KESTRUN_TEST_ENGINE_CA=${tls_engine_peer_dir}/certs/ca.pem")
endif()

kestrun_unit_test(tls_engine_test tls_engine_test.cc LIBS net)
set_tests_properties(tls_engine_test PROPERTIES FIXTURES_REQUIRED tls_engine_peer
  ENVIRONMENT "${tls_engine_env}")

if(NOT WIN32)
  # The system's trust store as OpenSSL finds it; the test links libcrypto
  # itself only to ask where the default bundle and directory are.
  find_package(OpenSSL 3 REQUIRED)
  kestrun_unit_test(tls_trust_test tls_trust_test.cc LIBS net OpenSSL::Crypto)
  set_tests_properties(tls_trust_test PROPERTIES FIXTURES_REQUIRED tls_engine_peer
    ENVIRONMENT "${tls_engine_env}")
endif()
