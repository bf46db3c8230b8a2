#!/usr/bin/env bash
# Prints a profile document named "Bench" with 1,000 rules: the two guards and 998 rules of the
# usual mix of bundle identifiers, display names with wildcards, exact hosts with port ranges and
# IPv4 networks.
set -euo pipefail
{
  printf '{"schemaVersion":1,"id":"%s","name":"Bench","proxies":[],"chains":[],"rules":[' "$(cat /proc/sys/kernel/random/uuid)"
  printf '{"id":"%s","name":"Localhost","enabled":true,"apps":[],"hosts":["localhost","127.0.0.1","::1"],"ports":[],"transport":"any","action":{"kind":"direct"},"quicPolicy":"fallback","locked":true,"tags":[]}' "$(cat /proc/sys/kernel/random/uuid)"
  for i in $(seq 1 998); do
    case $((i % 4)) in
      0) match='"apps":["com.vendor'$i'.app"],"hosts":[],"ports":[]' ;;
      1) match='"apps":["Vendor '$i'"],"hosts":["*.vendor'$i'.com"],"ports":[]' ;;
      2) match='"apps":[],"hosts":["api'$i'.example.net"],"ports":["8000-8100"]' ;;
      3) match='"apps":[],"hosts":["10.'$((i % 256))'.0.0/16"],"ports":[]' ;;
    esac
    printf ',{"id":"%s","name":"rule %d","enabled":true,%s,"transport":"any","action":{"kind":"block"},"quicPolicy":"fallback","locked":false,"tags":[]}' \
      "$(cat /proc/sys/kernel/random/uuid)" "$i" "$match"
  done
  printf ',{"id":"%s","name":"Default","enabled":true,"apps":[],"hosts":[],"ports":[],"transport":"any","action":{"kind":"direct"},"quicPolicy":"fallback","locked":true,"tags":[]}' "$(cat /proc/sys/kernel/random/uuid)"
  printf '],"dns":{"resolveViaProxy":true,"exclusions":[]},"general":{"loopDetection":true,"failsafeOnCrash":true},"environments":[]}'
}
