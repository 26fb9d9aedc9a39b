"""plotting"""
