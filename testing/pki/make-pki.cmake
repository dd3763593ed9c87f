# cmake -DOPENSSL=<openssl> -DDIR=<output folder> -P make-pki.cmake
#
# Makes the test certificates: two roots and the code-signing leaves under them.
# Everything, private keys included, lives only in the build tree.
#
# Leaves are signed with SHA-1 on purpose: Wine 8.0 skips the whole chain check
# (trust, expiry) for a leaf signed with SHA-256, and our tests need that check.
cmake_minimum_required(VERSION 3.25)

if(NOT OPENSSL OR NOT DIR)
  message(FATAL_ERROR "usage: cmake -DOPENSSL=... -DDIR=... -P make-pki.cmake")
endif()

file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}/ca")

function(run)
  execute_process(COMMAND ${OPENSSL} ${ARGN}
    WORKING_DIRECTORY "${DIR}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed:\n${out}")
  endif()
endfunction()

# "openssl ca" is used for every certificate because it alone takes explicit
# validity dates (the expired leaf needs dates in the past).
function(write_config root)
  file(WRITE "${DIR}/ca/${root}.cnf" "\
[ca]
default_ca = test_ca
[test_ca]
database = ca/${root}-index.txt
serial = ca/${root}-serial
new_certs_dir = ca
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no
[policy_any]
commonName = supplied
[root_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
")
  file(WRITE "${DIR}/ca/${root}-index.txt" "")
  file(WRITE "${DIR}/ca/${root}-serial" "01\n")
endfunction()

function(make_key name)
  run(genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ${name}.key)
  run(req -new -key ${name}.key -subj "${ARGV1}" -out ca/${name}.csr)
endfunction()

# make_root(<name> <subject>)
function(make_root name subject)
  write_config(${name})
  make_key(${name} "${subject}")
  run(ca -batch -notext -config ca/${name}.cnf -selfsign -keyfile ${name}.key
    -in ca/${name}.csr -out ${name}.crt -extensions root_ext -md sha256
    -startdate 100101000000Z -enddate 491231235959Z)
  run(x509 -in ${name}.crt -outform DER -out ${name}.der)
endfunction()

# make_leaf(<name> <root> <subject> <start> <end>): <name>.key, <name>.crt and
# <name>-chain.crt (leaf and root, the certificates a signature carries, so
# that a chain to an untrusted root is complete and gets judged as such).
function(make_leaf name root subject start end)
  make_key(${name} "${subject}")
  run(ca -batch -notext -config ca/${root}.cnf -cert ${root}.crt -keyfile ${root}.key
    -in ca/${name}.csr -out ${name}.crt -extensions leaf_ext -md sha1 -preserveDN
    -startdate ${start} -enddate ${end})
  file(READ "${DIR}/${name}.crt" leaf)
  file(READ "${DIR}/${root}.crt" issuer)
  file(WRITE "${DIR}/${name}-chain.crt" "${leaf}${issuer}")
endfunction()

set(valid 200101000000Z 491231235959Z)
set(expired 150101000000Z 160101000000Z)

make_root(root "/CN=QAR Test Root CA")
make_root(untrusted-root "/CN=QAR Untrusted Test Root CA")

make_leaf(norvale root "/O=Norvale Data AG/CN=Norvale Data AG" ${valid})
make_leaf(other-publisher root "/O=Other Publisher AG/CN=Other Publisher AG" ${valid})
make_leaf(norvale-case root "/O=Norvale Data AG/CN=norvale data AG" ${valid})
make_leaf(norvale-expired root "/O=Norvale Data AG/CN=Norvale Data AG" ${expired})
make_leaf(norvale-untrusted-root untrusted-root "/O=Norvale Data AG/CN=Norvale Data AG" ${valid})
make_leaf(norvale-suffix root "/O=Norvale Data AG/CN=Norvale Data AG Schweiz" ${valid})
