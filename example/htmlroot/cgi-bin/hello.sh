#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\n'
echo "Hello from a CGI script."
echo "QUERY_STRING=$QUERY_STRING"
echo "REQUEST_METHOD=$REQUEST_METHOD"
